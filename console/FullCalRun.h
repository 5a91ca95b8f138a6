// The full two-port calibration run: start-up, echo, and the five calls on the Vornlink server.
#pragma once

class ConsoleApp;
class DispatchDriver;

// Returns the process exit code: 1 when the framework can't start, otherwise 0 whatever the stages returned.
// The driver keeps the connection to the server after the run; the caller releases it at process exit.
int RunFullCal(int argc, char** argv, ConsoleApp& app, DispatchDriver& vornlink);
