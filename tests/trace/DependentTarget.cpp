// Makes bin/sim-dependent/Vorn.dll (the simulated module) need VornTraceHelper.dll at load time.
extern "C" __declspec(dllimport) int VornTraceHelperValue();

namespace {
const int g_helperValue = VornTraceHelperValue();
}

extern "C" int VornDependentHelperValue()
{
    return g_helperValue;
}
