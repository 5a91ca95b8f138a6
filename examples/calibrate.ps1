# Full two-port calibration of a Vorn module through the Vornlink automation server, from PowerShell.
#
# UNTESTED HERE: the project's tests run under Wine, which has no PowerShell. Written for Windows
# PowerShell 5.1 and PowerShell 7.
#
#   powershell -ExecutionPolicy Bypass -File calibrate.ps1
#
# Needs the server registered (regsvr32 Vornlink.dll). A 32-bit PowerShell loads the server in process
# and finds Vorn.dll in the current folder or on PATH. A 64-bit PowerShell gets the server in the COM
# surrogate (dllhost.exe), which doesn't start in your folder: put the folder of Vorn.dll on the user's
# or the system's PATH. Exit code: 0 done, 1 a step was rejected or the module reported errors,
# 2 the server failed.

$BoardType = 1      # 1 = CV board, 2 = NI board
$BoardNumber = 7    # CV boards are usually 7, NI boards 0
$VNAAddress = 16    # GPIB address of the network analyzer, 1 to 32
$PrinterPort = 1    # 1 = LPT1, 2 = LPT2, ...

try {
    $vorn = New-Object -ComObject VornDriver.clsVornlink
} catch {
    Write-Output "Cannot create VornDriver.clsVornlink (is Vornlink.dll registered?): $($_.Exception.Message)"
    exit 2
}

# Each method returns 0 when its command was sent and -1 when an argument was rejected (nothing is sent
# then). A failure of the server itself, such as Vorn.dll not found, is thrown as a COMException.
$script:failed = $false
function Test-Step([int]$result, [string]$what) {
    if ($result -ne 0) {
        Write-Output "$what rejected its argument"
        $script:failed = $true
    }
    return $result -eq 0
}

# Query replies are 257 characters long: the module's text, then NUL characters. Cut them there.
function Get-ReplyText([string]$reply) {
    return $reply.Split([char]0)[0]
}

try {
    # Text parameters are passed by reference: [ref] lets the server's replacement come back.
    $version = ''
    $vorn.SPI_VERSION([ref]$version)
    $identity = ''
    Test-Step ($vorn.CMD_IDN([ref]$identity)) 'CMD_IDN' | Out-Null
    Write-Output "Vornlink $version, module: $(Get-ReplyText $identity)"

    Test-Step ($vorn.CONFIG($BoardType, $BoardNumber, $VNAAddress, $PrinterPort)) 'CONFIG' | Out-Null

    $method = 'full'
    Test-Step ($vorn.SENS_CORR_COLL_METH([ref]$method)) "SENS_CORR_COLL_METH" | Out-Null  # $method is now FULL
    Test-Step ($vorn.SENS_CORR_COLL_ACQ('A')) 'SENS_CORR_COLL_ACQ' | Out-Null
    $register = '1'
    if ((Test-Step ($vorn.SENS_CORR_COLL_SAVE([ref]$register)) 'SENS_CORR_COLL_SAVE') -and -not $script:failed) {
        Write-Output "Calibration saved in register $register"
    }
    Test-Step ($vorn.VORN_CLEAN()) 'VORN_CLEAN' | Out-Null

    # A sent command may still fail in the module: its errors wait in the error queue, oldest first,
    # until SYST_ERR answers with error number 0.
    for ($entry = 0; $entry -lt 20; $entry++) {
        $reply = ''
        Test-Step ($vorn.SYST_ERR([ref]$reply)) 'SYST_ERR' | Out-Null
        $reply = Get-ReplyText $reply
        if ($reply -match '^\+?0,') { break }
        Write-Output "Module error: $reply"
        $script:failed = $true
    }
} catch [System.Runtime.InteropServices.COMException] {
    Write-Output "The server failed: $($_.Exception.Message)"
    exit 2
} finally {
    [void][System.Runtime.InteropServices.Marshal]::ReleaseComObject($vorn)
}

if ($script:failed) { exit 1 }
exit 0
