// The little of an application framework that fullcal needs: an application object that exists for the
// whole process and a start-up step that can fail.
#pragma once

#include <windows.h>

class ConsoleApp {
public:
    // Records the program's start-up values; fails when the module handle or the command line is missing.
    bool Init(HINSTANCE instance, HINSTANCE previousInstance, const char* commandLine, int showCommand) noexcept;

    bool Initialised() const noexcept { return instance_ != nullptr; }
    HINSTANCE Instance() const noexcept { return instance_; }
    const char* CommandLine() const noexcept { return commandLine_; }
    int ShowCommand() const noexcept { return showCommand_; }

private:
    HINSTANCE instance_ = nullptr;
    const char* commandLine_ = nullptr;
    int showCommand_ = 0;
};
