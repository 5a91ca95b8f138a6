// Holds Wine's desktop for a test session, so each test program doesn't start its own.
#include <windows.h>

int main()
{
    GetDesktopWindow();
    Sleep(INFINITE);
}
