// The behaviour of the nineteen methods, one function per family. Each normalises and checks its
// arguments, builds at most one command line and hands it to SendCommand; a query then stores the
// reply in the caller's string. A rejected argument returns kRejected and sends nothing. Errors of
// the command link and numeric overflows are raised (RaisedError) and end the method at once.
#pragma once

#include "MethodTable.h"

#include <windows.h>
#include <oleauto.h>

namespace vorn {

inline constexpr LONG kDone = 0;
inline constexpr LONG kRejected = -1;

void SpiVersion(BSTR* version);
LONG FixedCommand(Method method);
LONG FixedQuery(Method method, BSTR* reply);
LONG KeywordCommand(Method method, BSTR* argument);

LONG Config(short boardType, short boardNumber, short vnaAddress, short printerPort);
LONG VornDelay(double adapterDelayInSeconds, short measureDelay);
// strReturn is null when the caller omitted it.
LONG VornFint(BSTR* strOnOff, BSTR* strReturn);
LONG VornIav(BSTR strAvg, BSTR* strReturn);
LONG SensCorrCollSave(BSTR* strCalSet);

} // namespace vorn
