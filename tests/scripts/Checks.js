// Checks shared by the JScript clients. clients.cmake puts this file in front of each test script.
//
// Wine's cscript prints nothing for an uncaught script error and exits 0, so a script counts as passed
// only when it ends in finish() with "PASS: <n> checks" and exit code 0 (RunScript.cmake insists on both).
// JScript passes every argument by value: a script sees result codes and errors, never written-back text.
var checks = 0, failures = 0, group = "";
var shell = new ActiveXObject("WScript.Shell");
var files = new ActiveXObject("Scripting.FileSystemObject");

function check(ok, what) {
    checks++;
    if (!ok) {
        failures++;
        WScript.Echo("FAIL [" + group + "] " + what);
    }
}

function describe(value) {
    return typeof value + " " + (typeof value == "string" ? '"' + value + '"' : String(value));
}

function checkEqual(actual, expected, what) {
    check(actual === expected, what + ": expected " + describe(expected) + ", got " + describe(actual));
}

// Calls f, which must return the result code <expected> without throwing.
function checkResult(f, expected, what) {
    try {
        checkEqual(f(), expected, what);
    } catch (e) {
        check(false, what + ": unexpected error " + (e.number >>> 0).toString(16) + " " + e.description);
    }
}

// Calls f, which must throw an automation error whose low word is <code> (when given) and whose
// description holds <part>.
function checkThrows(f, code, part, what) {
    try {
        var result = f();
        check(false, what + ": no error, returned " + describe(result));
    } catch (e) {
        if (code !== null)
            check((e.number & 0xFFFF) == code, what + ": expected error " + code + ", got "
                  + (e.number >>> 0).toString(16) + " " + e.description);
        check(String(e.description).indexOf(part) >= 0,
              what + ': error description "' + e.description + '" lacks "' + part + '"');
    }
}

// The simulated module's traffic record (file named by VORN_SIM_LOG, set by RunScript.cmake).
function trafficLog() { return shell.Environment("PROCESS")("VORN_SIM_LOG"); }

function clearTraffic() {
    if (files.FileExists(trafficLog()))
        files.DeleteFile(trafficLog(), true);
}

// Exactly these command lines went to the module since the last check; starts the next check afresh.
function checkSent(expected, what) {
    // Read whole: Wine's TextStream.ReadLine fails on the last line of a 64-byte file.
    var sent = [];
    if (files.FileExists(trafficLog()) && files.GetFile(trafficLog()).Size > 0) {
        var lines = files.OpenTextFile(trafficLog(), 1).ReadAll().split("\n");
        for (var i = 0; i < lines.length; i++) {
            if (lines[i].substr(0, 2) == "> ")
                sent.push(lines[i].substr(2));
        }
    }
    check(sent.join(" | ") == expected.join(" | "),
          what + ": module received [" + sent.join(" | ") + "], expected [" + expected.join(" | ") + "]");
    clearTraffic();
}

function finish() {
    if (failures == 0 && checks > 0) {
        WScript.Echo("PASS: " + checks + " checks");
        WScript.Quit(0);
    }
    WScript.Echo("FAILED: " + failures + " of " + checks + " checks");
    WScript.Quit(1);
}

if (!trafficLog()) {
    WScript.Echo("FAIL VORN_SIM_LOG is not set");
    WScript.Quit(2);
}
clearTraffic();
// The test names the script host it means to run in: x86 (in process) or AMD64 (through the surrogate).
if (shell.Environment("PROCESS")("VORN_HOST_ARCH"))
    checkEqual(shell.Environment("PROCESS")("PROCESSOR_ARCHITECTURE"), shell.Environment("PROCESS")("VORN_HOST_ARCH"),
               "architecture of the script host");
// ---- test script ----
