// Starts the platform as fullcal must (COM, OLE), creates the server by its ProgID, and ends: the
// part of a fullcal run that any automation client of the server pays.
#include <windows.h>
#include <ole2.h>

int main()
{
    CoInitialize(nullptr);
    OleInitialize(nullptr);
    CLSID clsid{};
    IDispatch* object = nullptr;
    if (SUCCEEDED(CLSIDFromProgID(L"VornDriver.clsVornlink", &clsid)) &&
        SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, reinterpret_cast<void**>(&object))))
        object->Release();
    return 0;
}
