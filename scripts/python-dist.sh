#!/usr/bin/env bash
# The Python package's source distribution and wheel (python/): vorn_module-<version>.tar.gz and
# vorn_module-<version>-py3-none-any.whl in <folder>. Usage: python-dist.sh <python> <folder>
# <python> has build, setuptools and wheel (the tests' virtual environment: tests/requirements.txt). No
# download: the build runs in that environment, not an isolated one. Both files are the same bytes at every
# build of the same sources: the wheel's dates are SOURCE_DATE_EPOCH (default: the commit's time), and the
# sdist is packed again with that date, owner 0 and names in order (setuptools' tar keeps the files' own).
set -euo pipefail
PYTHON="${1:?python}" OUT="${2:?folder}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 315532800)}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# From a copy: a build in place leaves build/ and *.egg-info in the source tree.
cp -r "$ROOT/python" "$work/source"
rm -rf "$work/source/build" "$work/source/dist" "$work/source"/*.egg-info
find "$work/source" -name __pycache__ -prune -exec rm -rf {} +
(cd "$work/source" && "$PYTHON" -m build --no-isolation --outdir "$work/dist" . >"$work/build.log" 2>&1) ||
    { cat "$work/build.log" >&2; echo "python-dist.sh: the build failed" >&2; exit 1; }
"$PYTHON" - "$work/dist" <<'PY'
import gzip, io, os, sys, tarfile
folder = sys.argv[1]
epoch = int(os.environ["SOURCE_DATE_EPOCH"])
for name in os.listdir(folder):
    if not name.endswith(".tar.gz"):
        continue
    path = os.path.join(folder, name)
    with tarfile.open(path) as source:
        members = sorted(source.getmembers(), key=lambda m: m.name)
        packed = io.BytesIO()
        with tarfile.open(fileobj=packed, mode="w", format=tarfile.PAX_FORMAT) as target:
            for member in members:
                data = source.extractfile(member) if member.isfile() else None
                member.mtime, member.uid, member.gid, member.uname, member.gname = epoch, 0, 0, "", ""
                member.mode = 0o755 if member.isdir() else 0o644
                member.pax_headers = {}
                target.addfile(member, data)
    with open(path, "wb") as out, gzip.GzipFile(filename="", fileobj=out, mode="wb", mtime=epoch) as zipped:
        zipped.write(packed.getvalue())
PY
mkdir -p "$OUT"
cp "$work/dist"/* "$OUT/"
(cd "$work/dist" && ls)
