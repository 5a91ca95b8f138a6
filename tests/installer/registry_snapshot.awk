# Flattens Wine's registry files (system.reg, user.reg, userdef.reg) into one sorted-ready line per
# key and per value, so that two states of a prefix compare with diff:
#   <root>\<key>            for every key written to the file (empty keys included)
#   <root>\<key>\t<name>=<data>
# Key paths and value names are folded to lower case (the registry ignores their case); data is kept
# as written. Time stamps are dropped. Values continued over several lines are joined.
# Usage: awk -v root=HKLM -f registry_snapshot.awk system.reg
function flush() {
    if (pending != "") {
        print key "\t" pending
        pending = ""
    }
}
/^WINE REGISTRY/ || /^;;/ || /^#arch=/ || /^#time=/ || /^$/ { flush(); next }
/^\[/ {
    flush()
    line = $0
    sub(/\][^\]]*$/, "", line)   # the closing bracket and the time stamp after it
    key = root "\\" tolower(substr(line, 2))
    print key
    continued = 0
    next
}
continued {
    sub(/^ +/, "")
    pending = pending $0
    continued = sub(/\\$/, "", pending)
    next
}
{
    flush()
    line = $0
    if (substr(line, 1, 1) == "@") {
        name = "@"
        data = substr(line, 3)
    } else if (substr(line, 1, 1) == "\"") {
        # The name is quoted, with \" and \\ escaped inside.
        rest = substr(line, 2)
        name = ""
        while (length(rest) > 0) {
            c = substr(rest, 1, 1)
            if (c == "\\") { name = name substr(rest, 1, 2); rest = substr(rest, 3); continue }
            if (c == "\"") break
            name = name c
            rest = substr(rest, 2)
        }
        name = "\"" tolower(name) "\""
        data = substr(rest, 3)
    } else {
        # Wine's own markers (#link and the like) belong to the key.
        name = line
        data = ""
    }
    pending = name "=" data
    continued = sub(/\\$/, "", pending)
}
END { flush() }
