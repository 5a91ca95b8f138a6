#!/usr/bin/env bash
# End-to-end runs of vornsh.exe under Wine against the simulated module library: exact standard output
# and error, the command lines the module received, the exit code.
# Usage: vornsh_e2e.sh <case>   (VORN_BIN, VORN_WINE_RUN and VORN_EXAMPLES come from ctest; the server
# is registered by the clients' fixture)
set -uo pipefail
: "${VORN_BIN:?}" "${VORN_WINE_RUN:?}" "${VORN_EXAMPLES:?}"

CASE="${1:?case name}"
VORNSH="$VORN_BIN/vornsh.exe"
SIM_DIR="$VORN_BIN/sim"
WORK="$(mktemp -d)"
FAILED=0

cleanup() { rm -rf "$WORK"; }
trap cleanup EXIT

fail() { echo "FAIL: $*"; FAILED=1; }
die() { echo "FAIL: $*"; exit 1; }
winpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }

# run_vornsh <working dir> <standard input file> [arguments...]: fills $WORK/{stdout,stderr,traffic.log}
# and RC. Output goes to files: Wine's helpers must not hold ctest's pipe.
run_vornsh() {
    local dir="$1" input="$2"
    shift 2
    rm -f "$WORK/traffic.log"
    (cd "$dir" && VORN_SIM_LOG="$(winpath "$WORK/traffic.log")" \
        timeout 120 "$VORN_WINE_RUN" "$VORNSH" "$@" <"$input" >"$WORK/stdout" 2>"$WORK/stderr")
    RC=$?
    [ "$RC" = 124 ] && die "vornsh.exe did not finish within 120 s"
    touch "$WORK/traffic.log"
}
run_sim() { run_vornsh "$SIM_DIR" /dev/null "$@"; }

# The program writes CRLF line ends; expectations are written with LF.
crlf() { LC_ALL=C sed 's/$/\r/'; }

expect_stdout() {
    if [ $# = 0 ]; then : >"$WORK/expected"; else printf '%s\n' "$@" | crlf >"$WORK/expected"; fi
    cmp -s "$WORK/stdout" "$WORK/expected" || fail "$LABEL: standard output differs:$(diff "$WORK/expected" "$WORK/stdout")"
}

expect_stderr() {
    if [ $# = 0 ]; then : >"$WORK/expected"; else printf '%s\n' "$@" | crlf >"$WORK/expected"; fi
    cmp -s "$WORK/stderr" "$WORK/expected" || fail "$LABEL: standard error differs:$(diff "$WORK/expected" "$WORK/stderr")"
}

# The command lines the module received, in order.
expect_sent() {
    if [ $# = 0 ]; then : >"$WORK/expected"; else printf '%s\n' "$@" >"$WORK/expected"; fi
    sed -n 's/^> //p' "$WORK/traffic.log" >"$WORK/sent"
    cmp -s "$WORK/sent" "$WORK/expected" || fail "$LABEL: module received:$(diff "$WORK/expected" "$WORK/sent")"
}

expect_exit() { [ "$RC" = "$1" ] || fail "$LABEL: exit code $RC, expected $1"; }

# one_shot <arguments...>: one call in the simulated module's folder, labelled for the failure messages.
LABEL=""
one_shot() {
    LABEL="vornsh $*"
    run_sim "$@"
}

SENT="result 0: sent"
REJECTED="result -1: an argument was rejected, nothing sent"
CONFIG_USAGE="usage: CONFIG BoardType:int16 BoardNumber:int16 VNAAddress:int16 PrinterPort:int16"
NO_ERROR='+0,"No error"'
IDN="VORN,EC-2P Simulated Module,SIM00001,01.002"

[ -f "$VORNSH" ] || die "$VORNSH is missing"
[ -f "$SIM_DIR/Vorn.dll" ] || die "$SIM_DIR/Vorn.dll is missing"

case "$CASE" in
one_shot)
    # Names in any case; text parameters left out at the end come back filled in.
    one_shot CONFIG 1 7 16 1
    expect_stdout "$SENT"; expect_stderr; expect_sent "VORN:CONFIG 1,7,16,1"; expect_exit 0
    one_shot sens_corr_coll_meth " full "
    expect_stdout "$SENT" "strMethod = FULL"; expect_sent "SENS:CORR:COLL:METH FULL"; expect_exit 0
    one_shot SYST_ERR
    expect_stdout "$SENT" "strErrorNumAndMessage = $NO_ERROR"; expect_sent "SYST:ERR?"; expect_exit 0
    one_shot Cmd_Idn
    expect_stdout "$SENT" "strReturn = $IDN"; expect_exit 0
    one_shot VORN_IAV ?
    expect_stdout "$SENT" "strReturn = 1"; expect_sent "VORN:IAV?"; expect_exit 0
    one_shot VORN_FINT off
    expect_stdout "$SENT" "strOnOff = OFF"; expect_sent "VORN:FINT OFF"
    one_shot SPI_VERSION
    expect_stdout "version = 01.002"; expect_sent; expect_exit 0
    # Trailing blanks and exponents as the server reads them; a negative number is an argument, not an option.
    one_shot VORN_DELAY 1.5e-3 -2
    expect_stdout "$SENT"; expect_sent "VORN:DELAY 0.0015,-2"; expect_exit 0
    # The reply buffer is full to its last byte: everything up to the first zero is shown.
    full="VORN,EC-2P_Simulated_Module,SIM00001,01.002"
    full+="$(printf '#%.0s' $(seq $((256 - ${#full}))))"
    VORN_SIM_FAULT=fill256 one_shot CMD_IDN
    expect_stdout "$SENT" "strReturn = $full"
    ;;
rejected)
    one_shot CONFIG 1 7 40 1
    expect_stdout "$REJECTED"; expect_stderr; expect_sent; expect_exit 1
    # Control characters typed as escapes reach the server; what it wrote back is shown with them and
    # the backslash escaped.
    one_shot DISP_MENU '\x09vorn\\\x01\x7f'
    expect_stdout "$REJECTED" 'strMenu = \x09VORN\\\x01\x7F'; expect_sent; expect_exit 1
    # Without strReturn the query word is refused; a left-out text is passed empty, which sets nothing.
    one_shot VORN_FINT
    expect_stdout "$REJECTED"; expect_sent; expect_exit 1
    ;;
usage_errors)
    # Each is refused before the server is called: nothing reaches the module.
    one_shot CONFIG 1 7 x 1
    expect_stderr 'usage error: VNAAddress: "x" is not a whole number' "$CONFIG_USAGE"
    expect_stdout; expect_sent; expect_exit 3
    one_shot CONFIG 1 7 16 32768
    expect_stderr "usage error: PrinterPort: 32768 is outside -32768..32767" "$CONFIG_USAGE"; expect_exit 3
    one_shot CONFIG -32769 7 16 1
    expect_stderr "usage error: BoardType: -32769 is outside -32768..32767" "$CONFIG_USAGE"; expect_exit 3
    one_shot CONFIG 1 7 16
    expect_stderr "usage error: CONFIG takes 4 arguments, 3 given" "$CONFIG_USAGE"; expect_exit 3
    one_shot CMD_IDN x y
    expect_stderr "usage error: CMD_IDN takes 1 argument, 2 given" "usage: CMD_IDN strReturn:text"; expect_exit 3
    one_shot VORN_DELAY 1,5 2
    expect_stderr 'usage error: AdapterDelayInSeconds: "1,5" is not a number (decimal separator ".")' \
        "usage: VORN_DELAY AdapterDelayInSeconds:double MeasureDelay:int16"; expect_exit 3
    for word in inf nan 0x10 1e999 ""; do
        one_shot VORN_DELAY "$word" 2
        expect_exit 3
    done
    one_shot SYST_ERROR
    expect_stderr "usage error: unknown method SYST_ERROR; help lists the methods"; expect_sent; expect_exit 3
    one_shot --verbose CMD_IDN
    head -1 "$WORK/stderr" | grep -qx $'usage error: unknown option --verbose\r' || fail "$LABEL: $(cat "$WORK/stderr")"
    expect_exit 3
    one_shot -f "$WORK/no-such-steps"
    grep -q "^usage error: cannot open " "$WORK/stderr" || fail "$LABEL: $(cat "$WORK/stderr")"
    expect_exit 3
    expect_sent
    ;;
help)
    one_shot help vorn_iav
    expect_stdout "VORN_IAV strAvg:text [strReturn:text]" \
        "  returns 0 when sent, -1 when an argument was rejected (nothing sent)" \
        "  Sets or gets the number of averages. If strAvg is ?, the number of averages is returned in strReturn." \
       ; expect_exit 0
    one_shot help SENS_CORR_COLL_SAVE
    expect_stdout "SENS_CORR_COLL_SAVE strCalSet:text" \
        "  returns 0 when sent, -1 when an argument was rejected (nothing sent)" \
        "  (no help text in the type library)"
    # The list comes from the type library: every method, in its order.
    one_shot help
    sed -n '2,20p' "$WORK/stdout" | cut -d' ' -f3 | tr -d '\r' >"$WORK/listed"
    printf '%s\n' SPI_VERSION CONFIG VORN_DELAY DISP_MENU VORN_FINT VORN_IAV VORN_ABORT VORN_CLEAN \
        SENS_CORR_COLL_METH SENS_CORR_COLL_PAR SENS_CORR_COLL_ACQ SENS_CORR_COLL_SAVE SENS_CORR_COLL_DONE \
        SENS_CORR_COLL_NEXT SENS_CORR_COLL_PRIOR SENS_CORR_COLL_RES SENS_CORR_COLL_VIEW SYST_ERR CMD_IDN \
        >"$WORK/methods"
    cmp -s "$WORK/listed" "$WORK/methods" || fail "help lists:$(diff "$WORK/methods" "$WORK/listed")"
    one_shot help NOPE
    expect_stderr "usage error: unknown method NOPE; help lists the methods"; expect_exit 3
    ;;
library_missing)
    # No Vorn.dll in the working folder, beside vornsh.exe or on Wine's PATH.
    LABEL="library missing"
    WINEPATH="" run_vornsh "$WORK" /dev/null CONFIG 1 7 16 1
    expect_stdout
    grep -q '^automation error 53 (0x800A0035) from VornDriver.clsVornlink: .*Vorn\.dll' "$WORK/stderr" ||
        fail "$LABEL: $(cat "$WORK/stderr")"
    expect_exit 2
    ;;
overflow)
    one_shot VORN_IAV 40000
    expect_stdout; expect_sent; expect_exit 2
    expect_stderr 'automation error 6 (0x800A0006) from VornDriver.clsVornlink: Overflow: the number of averages "40000" is outside -32768 to 32767, the range of a 16-bit integer.'
    ;;
server_unregistered)
    SERVER="$(winpath "$VORN_BIN/Vornlink.dll")"
    timeout 120 "$VORN_WINE_RUN" regsvr32 /u /s "$SERVER" </dev/null >/dev/null 2>&1 || die "regsvr32 /u failed"
    trap 'timeout 120 "$VORN_WINE_RUN" regsvr32 /s "$SERVER" </dev/null >/dev/null 2>&1; cleanup' EXIT
    # Every command, even one that would be a usage error: the methods are known only from the server.
    printf 'CMD_IDN\n' >"$WORK/steps"
    for command in "CMD_IDN" "help" "NO_SUCH_METHOD" "CONFIG 1 7 x 1" "-f $(winpath "$WORK/steps")"; do
        # shellcheck disable=SC2086 # the command's words
        one_shot $command
        expect_stdout; expect_sent; expect_exit 2
        grep -q '^automation error 0x800401F3: cannot create VornDriver.clsVornlink (.*): is Vornlink.dll registered (regsvr32 Vornlink.dll)?' \
            "$WORK/stderr" || fail "$LABEL: $(cat "$WORK/stderr")"
    done
    ;;
steps_file)
    # The example as the README runs it: every step sent, the error queue read after each.
    LABEL="full-calibration.steps"
    run_sim --check -f "$(winpath "$VORN_EXAMPLES/full-calibration.steps")"
    expect_stdout "> CMD_IDN                     # which module answers" "  $SENT" "  strReturn = $IDN" \
        "> CONFIG 1 7 16 1             # CV board (1) number 7, analyzer at GPIB address 16, printer on LPT1" \
        "  $SENT" \
        "> SENS_CORR_COLL_METH FULL    # a full two-port calibration" "  $SENT" \
        "> SENS_CORR_COLL_ACQ A        # measure with module port A" "  $SENT" \
        "> SENS_CORR_COLL_SAVE 1       # save the calibration in register 1" "  $SENT" \
        "> VORN_CLEAN                  # end the calibration, the module idle again" "  $SENT" \
        "6 steps: sent 6, rejected 0, automation errors 0, usage errors 0, module errors 0; exit code 0"
    expect_stderr
    expect_sent "*IDN?" "SYST:ERR?" "VORN:CONFIG 1,7,16,1" "SYST:ERR?" "SENS:CORR:COLL:METH FULL" "SYST:ERR?" \
        "SENS:CORR:COLL:ACQ A" "SYST:ERR?" "SENS:CORR:COLL:SAVE 1" "SYST:ERR?" "VORN:CLEAN" "SYST:ERR?"
    expect_exit 0
    ;;
check_finds_module_error)
    # Saving before any acquisition: sent, but the module queues -221; steps come from a pipe.
    LABEL="--check, steps on standard input"
    printf 'SENS_CORR_COLL_METH FULL\r\nSENS_CORR_COLL_SAVE 1\r\n\r\n  # comment\r\nSYST_ERR\r\n' >"$WORK/steps"
    run_vornsh "$SIM_DIR" "$WORK/steps" --check
    expect_stdout "> SENS_CORR_COLL_METH FULL" "  $SENT" "> SENS_CORR_COLL_SAVE 1" "  $SENT" \
        '  module error -221,"Settings conflict;nothing acquired to save"' "> SYST_ERR" "  $SENT" \
        "  strErrorNumAndMessage = $NO_ERROR" \
        "3 steps: sent 3, rejected 0, automation errors 0, usage errors 0, module errors 1; exit code 1"
    expect_stderr
    expect_sent "SENS:CORR:COLL:METH FULL" "SYST:ERR?" "SENS:CORR:COLL:SAVE 1" "SYST:ERR?" "SYST:ERR?" "SYST:ERR?" \
        "SYST:ERR?"
    expect_exit 1
    # A one-shot call checks as well; without --check the same error stays unreported.
    LABEL="one shot --check"
    run_sim --check SENS_CORR_COLL_SAVE 2
    expect_stdout "$SENT" 'module error -221,"Settings conflict;nothing acquired to save"'; expect_exit 1
    run_sim SENS_CORR_COLL_SAVE 2
    expect_stdout "$SENT"; expect_exit 0
    ;;
steps_go_on)
    # Every kind of failure in one file: the steps go on, the exit code is the worst, the summary counts.
    LABEL="steps go on"
    printf '%s\n' "CONFIG 1 7 40 1" "NO_SUCH_METHOD" "VORN_IAV 40000" "CONFIG 1 7 16 1" >"$WORK/steps"
    run_vornsh "$SIM_DIR" /dev/null -f "$(winpath "$WORK/steps")"
    expect_stdout "> CONFIG 1 7 40 1" "  $REJECTED" "> NO_SUCH_METHOD" "> VORN_IAV 40000" "> CONFIG 1 7 16 1" "  $SENT" \
        "4 steps: sent 1, rejected 1, automation errors 1, usage errors 1; exit code 3"
    expect_stderr "  usage error: unknown method NO_SUCH_METHOD; help lists the methods" \
        '  automation error 6 (0x800A0006) from VornDriver.clsVornlink: Overflow: the number of averages "40000" is outside -32768 to 32767, the range of a 16-bit integer.'
    expect_sent "VORN:CONFIG 1,7,16,1"
    expect_exit 3
    LABEL="--stop-on-error"
    run_vornsh "$SIM_DIR" "$WORK/steps" --stop-on-error
    expect_stdout "> CONFIG 1 7 40 1" "  $REJECTED" "stopped after a step that did not succeed" \
        "1 step: sent 0, rejected 1, automation errors 0, usage errors 0; exit code 1"
    expect_exit 1
    LABEL="quit"
    printf '%s\n' "CMD_IDN" "quit" "CONFIG 1 7 16 1" | sed 's/$/\r/' >"$WORK/steps"
    run_vornsh "$SIM_DIR" "$WORK/steps"
    expect_stdout "> CMD_IDN" "  $SENT" "  strReturn = $IDN" "> quit" \
        "1 step: sent 1, rejected 0, automation errors 0, usage errors 0; exit code 0"
    expect_sent "*IDN?"; expect_exit 0
    ;;
summary_counts)
    # Each step counted once. Without GetQueryResponse the query's line goes out and its reply is lost:
    # sent, and failed. A help line is no step.
    LABEL="summary"
    printf '%s\n' "help NOPE" "CMD_IDN" "CONFIG 1 7 16 1" >"$WORK/steps"
    run_vornsh "$VORN_BIN/sim-noquery" "$WORK/steps"
    expect_stdout "> help NOPE" "> CMD_IDN" "> CONFIG 1 7 16 1" "  $SENT" \
        "2 steps: sent 2 (1 failed after sending), rejected 0, automation errors 0, usage errors 0; help refused 1; exit code 3"
    head -1 "$WORK/stderr" | grep -qx $'  usage error: unknown method NOPE; help lists the methods\r' || fail "$LABEL: $(cat "$WORK/stderr")"
    grep -q '^  automation error 453 (0x800A01C5) from VornDriver.clsVornlink: .*GetQueryResponse' "$WORK/stderr" ||
        fail "$LABEL: $(cat "$WORK/stderr")"
    expect_sent "*IDN?" "VORN:CONFIG 1,7,16,1"
    expect_exit 3
    ;;
control_characters)
    # Line ends of every form end a step; a control character in an argument is refused unless typed as
    # an escape; what is echoed or quoted in an error shows control characters escaped.
    LABEL="control characters"
    printf '%b' 'SENS_CORR_COLL_METH FULL\r\r\n' 'DISP_MENU "\tVORN"\n' 'VORN_FINT OFF\e[2J\n' '\x04quit\n' \
        'VORN_FINT \\x4fN\r' 'CMD_IDN\n' >"$WORK/steps"
    run_vornsh "$SIM_DIR" "$WORK/steps"
    expect_stdout "> SENS_CORR_COLL_METH FULL" "  $SENT" '> DISP_MENU "\x09VORN"' '> VORN_FINT OFF\x1B[2J' '> \x04quit' \
        '> VORN_FINT \x4fN' "  $SENT" "> CMD_IDN" "  $SENT" "  strReturn = $IDN" \
        "6 steps: sent 3, rejected 0, automation errors 0, usage errors 3; exit code 3"
    expect_stderr '  usage error: strMenu: "\x09VORN" holds a control character; to send it, type it as \x09' \
        "  usage: DISP_MENU strMenu:text" \
        '  usage error: strOnOff: "OFF\x1B[2J" holds a control character; to send it, type it as \x1B' \
        "  usage: VORN_FINT strOnOff:text [strReturn:text]" \
        '  usage error: unknown method \x04quit; help lists the methods'
    expect_sent "SENS:CORR:COLL:METH FULL" "VORN:FINT ON" "*IDN?"
    expect_exit 3
    # A line end pasted into a one-shot argument.
    one_shot SENS_CORR_COLL_SAVE $'1\r\n'
    expect_stdout
    expect_stderr 'usage error: strCalSet: "1\x0D\x0A" holds a control character; to send it, type it as \x0D' \
        "usage: SENS_CORR_COLL_SAVE strCalSet:text"
    expect_sent; expect_exit 3
    ;;
steps_encodings)
    # UTF-16 with its byte order mark, as Notepad's "Unicode" and PowerShell 5's redirection write it.
    LABEL="UTF-16LE steps file"
    { printf '\xff\xfe'; printf 'CMD_IDN\r\nDISP_MENU \xc3\xa9\r\n' | iconv -f UTF-8 -t UTF-16LE; } >"$WORK/steps"
    run_vornsh "$SIM_DIR" /dev/null -f "$(winpath "$WORK/steps")"
    expect_stdout "> CMD_IDN" "  $SENT" "  strReturn = $IDN" $'> DISP_MENU \xe9' "  $REJECTED" $'  strMenu = \xc9' \
        "2 steps: sent 1, rejected 1, automation errors 0, usage errors 0; exit code 1"
    expect_stderr; expect_sent "*IDN?"; expect_exit 1
    # Big-endian, and "-f -": standard input read as steps.
    LABEL="UTF-16BE steps, -f -"
    { printf '\xfe\xff'; printf 'VORN_CLEAN\n' | iconv -f UTF-8 -t UTF-16BE; } >"$WORK/steps"
    run_vornsh "$SIM_DIR" "$WORK/steps" -f -
    expect_stdout "> VORN_CLEAN" "  $SENT" "1 step: sent 1, rejected 0, automation errors 0, usage errors 0; exit code 0"
    expect_stderr; expect_sent "VORN:CLEAN"; expect_exit 0
    ;;
closed_output)
    # Standard output a pipe nobody reads any more: no step is run whose outcome can't be shown.
    LABEL="closed output"
    printf '%s\n' "CONFIG 1 7 16 1" "VORN_CLEAN" >"$WORK/steps"
    mkfifo "$WORK/out"
    exec 4<>"$WORK/out" 5>"$WORK/out" 4<&-
    rm -f "$WORK/traffic.log"
    (cd "$SIM_DIR" && VORN_SIM_LOG="$(winpath "$WORK/traffic.log")" \
        timeout 120 "$VORN_WINE_RUN" "$VORNSH" -f "$(winpath "$WORK/steps")" </dev/null >&5 2>"$WORK/stderr")
    RC=$?
    exec 5>&-
    touch "$WORK/traffic.log"
    expect_sent; expect_exit 2
    grep -q '^vornsh: standard output could not be written (.*); the run stopped there' "$WORK/stderr" ||
        fail "$LABEL: $(cat "$WORK/stderr")"
    ;;
code_page_932)
    # Code page 932: steps read and results written in double-byte text; a character the code page
    # lacks (from a UTF-8 file) is escaped rather than replaced.
    LABEL="code page 932"
    printf 'SENS_CORR_COLL_METH " 日本 "\n' | iconv -f UTF-8 -t CP932 >"$WORK/steps"
    VORN_LC_ALL=ja_JP.UTF-8 run_vornsh "$SIM_DIR" "$WORK/steps"
    printf '%s\n' '> SENS_CORR_COLL_METH " 日本 "' "  $REJECTED" "  strMethod = 日本" \
        "1 step: sent 0, rejected 1, automation errors 0, usage errors 0; exit code 1" |
        iconv -f UTF-8 -t CP932 | crlf >"$WORK/expected"
    cmp -s "$WORK/stdout" "$WORK/expected" || fail "$LABEL:$(diff <(od -c "$WORK/expected") <(od -c "$WORK/stdout"))"
    expect_exit 1
    printf '\xef\xbb\xbfDISP_MENU é日\n' >"$WORK/steps"
    VORN_LC_ALL=ja_JP.UTF-8 run_vornsh "$SIM_DIR" "$WORK/steps"
    sed -n 3p "$WORK/stdout" | iconv -f CP932 -t UTF-8 >"$WORK/line"
    printf '  strMenu = \\u00C9日\r\n' | cmp -s - "$WORK/line" || fail "$LABEL, UTF-8 file: $(cat -A "$WORK/line")"
    ;;
decimal_comma)
    # The double is read in the user's locale, as the server reads it; a point is a decimal point too.
    LABEL="de_DE"
    VORN_LC_ALL=de_DE.UTF-8 run_sim VORN_DELAY 2,5 3
    expect_stdout "$SENT"; expect_sent "VORN:DELAY 2,5,3"; expect_exit 0
    VORN_LC_ALL=de_DE.UTF-8 run_sim VORN_DELAY 0.25 3
    expect_sent "VORN:DELAY 0,25,3"; expect_exit 0
    VORN_LC_ALL=de_DE.UTF-8 run_sim VORN_DELAY 1.000,5 3
    expect_sent; expect_exit 3
    ;;
interactive)
    # The prompt on a console: Wine gives the program one when standard input is a terminal, so vornsh
    # runs under script(1) on a pseudo-terminal, and each line is typed once its prompt is on screen.
    LABEL="interactive"
    mkfifo "$WORK/keys"
    (cd "$SIM_DIR" && TERM=xterm VORN_SIM_LOG="$(winpath "$WORK/traffic.log")" timeout 120 \
        script -q -e -c "$(printf '%q ' "$VORN_WINE_RUN" "$VORNSH")" /dev/null <"$WORK/keys" >"$WORK/screen" 2>&1) &
    session=$!
    exec 3>"$WORK/keys"
    prompts() { grep -o 'vorn>' "$WORK/screen" | wc -l; }
    type_line() {
        local waited=0
        until [ "$(prompts)" -ge "$1" ]; do
            [ "$waited" -lt 600 ] || die "$LABEL: no prompt $1 on the screen:$(cat -A "$WORK/screen")"
            sleep 0.1
            waited=$((waited + 1))
        done
        printf '%s\r' "$2" >&3
    }
    type_line 1 "cmd_idn"
    type_line 2 "help CONFIG"
    type_line 3 "CONFIG 1 7 x 1"
    type_line 4 "quit"
    wait "$session"
    RC=$?
    exec 3>&-
    # The screen without the terminal's control sequences and carriage returns.
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$WORK/screen" | tr -d '\r' >"$WORK/text"
    for line in "vornsh: VornDriver.clsVornlink, 19 methods; help lists them, quit ends" "vorn>cmd_idn" \
        "$SENT" "strReturn = $IDN" "CONFIG BoardType:int16 BoardNumber:int16 VNAAddress:int16 PrinterPort:int16" \
        'usage error: VNAAddress: "x" is not a whole number' "vorn>quit"; do
        grep -qxF -- "$line" "$WORK/text" || fail "$LABEL: no line \"$line\" on the screen:$(cat "$WORK/text")"
    done
    touch "$WORK/traffic.log"
    expect_sent "*IDN?"
    expect_exit 3
    ;;
*)
    die "unknown case $CASE"
    ;;
esac

[ "$FAILED" = 0 ] && echo "PASS: $CASE"
exit "$FAILED"
