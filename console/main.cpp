// fullcal: a full two-port calibration with the Vorn module, through the Vornlink automation server.
#include "AppFramework.h"
#include "DispatchDriver.h"
#include "FullCalRun.h"

namespace {
// Both live for the whole process; the connection to the server is released after main returns.
// COM is deliberately left initialised, so that release still reaches a loaded server.
ConsoleApp theApp;
DispatchDriver vornlink;
} // namespace

int main(int argc, char** argv)
{
    return RunFullCal(argc, argv, theApp, vornlink);
}
