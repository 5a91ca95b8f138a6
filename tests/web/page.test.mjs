// vornlan's page in Debian's chromium, driven by playwright-core; run by test_web_page.py, which starts
// vornlan (VORN_WEB_URL) with a module whose *IDN? reply (VORN_IDN) carries markup in every field.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import { connect } from "node:net";
import { chromium } from "playwright-core";

const url = process.env.VORN_WEB_URL;
const idn = process.env.VORN_IDN;
const fields = idn.split(",");

// The command lines the simulated module received so far.
const sent = () =>
  readFileSync(process.env.VORN_TRAFFIC, "latin1").split("\n").filter((l) => l.startsWith("> ")).map((l) => l.slice(2));

let browser;
let page;

before(async () => {
  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    // A name of another site made to point at this machine, as a DNS rebinding attack would.
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
           "--disable-sync", "--no-first-run", "--host-resolver-rules=MAP rebound.example 127.0.0.1"],
  });
  page = await browser.newPage();
  await page.goto(url);
  await page.locator("#stream-state", { hasText: "live" }).waitFor();
});

after(async () => {
  if (process.env.VORN_SCREENSHOT) await page.screenshot({ path: process.env.VORN_SCREENSHOT, fullPage: true });
  await browser?.close();
});

test("the welcome page shows the module's identity, markup as text", async () => {
  assert.equal(await page.locator("#manufacturer").textContent(), fields[0]);
  assert.equal(await page.locator("#model").textContent(), fields[1]);
  assert.equal(await page.locator("#serial").textContent(), fields[2]);
  assert.equal(await page.locator("#firmware").textContent(), fields[3]);
  assert.equal(await page.locator("header img, header b, main script").count(), 0);
  assert.equal(await page.evaluate(() => window.pwned), undefined);
});

test("a PyVISA client's message appears in the live view within a second", async () => {
  const script = `
import pyvisa, time
s = pyvisa.ResourceManager("@py").open_resource("${process.env.VORN_RAW_RESOURCE}", read_termination="\\n",
                                               write_termination="\\n", timeout=10000)
s.query("VORN:IAV 12;:VORN:IAV?")
print(int(time.time() * 1000))
s.close()`;
  const answered = Number(execFileSync("/usr/bin/python3", ["-c", script], { encoding: "utf8" }).trim());
  const row = page.locator("#traffic tbody tr", { hasText: "VORN:IAV 12;:VORN:IAV?" });
  await row.waitFor({ timeout: 5000 });
  const shown = await page.evaluate(() => Date.now());
  // The row may have come before the client's read returned; it must not come a second after it.
  assert.ok(shown - answered < 1000, `shown ${shown - answered} ms after the client had its answer`);
  assert.match(await row.textContent(), /12$/);
  assert.match(await row.textContent(), /raw socket/);
});

test("the console sends *IDN? and shows the reply as text", async () => {
  await page.fill("#command", "*IDN?");
  await page.click("#send");
  await page.locator("#console-response", { hasText: fields[3] }).waitFor();
  assert.equal(await page.locator("#console-response").textContent(), idn);
  assert.equal(await page.locator("#console-result img, #console-result script").count(), 0);
  assert.equal(sent().at(-1), "*IDN?");
});

test("the console shows a refused value's error and sends nothing", async () => {
  const before = sent().length;
  await page.fill("#command", "VORN:CONFIG 0,7,16,1");
  await page.click("#send");
  await page.locator("#console-units li.outcome-rejected", { hasText: "-224" }).waitFor();
  assert.equal(sent().length, before);
});

test("filtering by client and pausing hold the live view", async () => {
  await page.selectOption("#filter", { index: 1 });
  const chosen = await page.inputValue("#filter");
  for (const row of await page.locator("#traffic tbody tr:visible").all())
    assert.ok((await row.textContent()).includes(chosen));
  await page.selectOption("#filter", "");
  await page.click("#pause");
  const rows = await page.locator("#traffic tbody tr").count();
  await page.fill("#command", "VORN:FINT?");
  await page.click("#send");
  await page.locator("#held", { hasText: "1 new" }).waitFor();
  assert.equal(await page.locator("#traffic tbody tr").count(), rows);
  await page.click("#pause");
  await page.locator("#traffic tbody tr", { hasText: "VORN:FINT?" }).first().waitFor();
});

test("a command without the page's token, or from a page under another name, is refused", async () => {
  const before = sent().length;
  const status = await page.evaluate(async () =>
    (await fetch("/console", { method: "POST", body: "*RST" })).status);
  assert.equal(status, 403);
  const rebound = await browser.newPage();
  const response = await rebound.goto(url.replace("127.0.0.1", "rebound.example"));
  assert.equal(response.status(), 421);
  await rebound.close();
  assert.equal(sent().length, before);
});

// A VXI-11 client of its own: calls on one core connection, each answered before the next is sent.
function vxi11Client() {
  const socket = connect(Number(process.env.VORN_VXI11_PORT), "127.0.0.1");
  let pending = Buffer.alloc(0);
  let waiter = null;
  socket.on("data", (chunk) => {
    pending = Buffer.concat([pending, chunk]);
    if (waiter && pending.length >= 4 && pending.length >= 4 + (pending.readUInt32BE(0) & 0x7fffffff)) {
      const reply = pending.subarray(4, 4 + (pending.readUInt32BE(0) & 0x7fffffff));
      pending = Buffer.alloc(0);
      waiter(reply);
    }
  });
  let xid = 0;
  const call = (procedure, words, tail = Buffer.alloc(0)) => new Promise((resolve) => {
    const body = Buffer.alloc(40 + words.length * 4);
    [++xid, 0, 2, 0x0607af, 1, procedure, 0, 0, 0, 0, ...words].forEach((w, i) => body.writeUInt32BE(w >>> 0, i * 4));
    const message = Buffer.concat([body, tail]);
    const header = Buffer.alloc(4);
    header.writeUInt32BE((0x80000000 | message.length) >>> 0);
    waiter = (reply) => resolve(reply.readUInt32BE(24)); // after the accepted header: the first result
    socket.write(Buffer.concat([header, message]));
  });
  return { socket, call };
}

test("the clients' table shows which client holds the lock", async () => {
  const vxi11 = vxi11Client();
  try {
    // create_link("inst0"): its reply's second word is the link id.
    let lid = 0;
    const linked = new Promise((resolve) => vxi11.socket.once("data", (chunk) => resolve(chunk)));
    assert.equal(await vxi11.call(10, [1, 0, 0, 5], Buffer.from("inst0\0\0\0", "latin1")), 0);
    const reply = await linked;
    lid = reply.readUInt32BE(4 + 28);
    assert.equal(await vxi11.call(18, [lid, 0, 0]), 0); // device_lock
    const row = page.locator("#clients tbody tr", { hasText: "VXI-11" });
    await row.filter({ hasText: "holds the lock" }).waitFor({ timeout: 5000 });
    assert.equal(await vxi11.call(19, [lid]), 0); // device_unlock
    await row.filter({ hasNotText: "holds the lock" }).waitFor({ timeout: 5000 });
  } finally {
    vxi11.socket.destroy();
  }
});
