#include "AppFramework.h"

bool ConsoleApp::Init(HINSTANCE instance, HINSTANCE previousInstance, const char* commandLine, int showCommand) noexcept
{
    // There is never a previous instance on Win32; one given means the caller is confused.
    if (instance == nullptr || previousInstance != nullptr || commandLine == nullptr)
        return false;
    instance_ = instance;
    commandLine_ = commandLine;
    showCommand_ = showCommand;
    return true;
}
