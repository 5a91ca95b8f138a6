// The nineteen methods of clsVornlink as data: name, family, command header and keywords. The
// command set reads its headers and keywords from here; the dispatch identifier of a method is
// kFirstDispatchId plus its position, as the type library declares it.
#pragma once

#include "Normalisation.h"

#include <windows.h>

#include <span>
#include <string_view>

namespace vorn {

enum class Method {
    SPI_VERSION,
    CONFIG,
    VORN_DELAY,
    DISP_MENU,
    VORN_FINT,
    VORN_IAV,
    VORN_ABORT,
    VORN_CLEAN,
    SENS_CORR_COLL_METH,
    SENS_CORR_COLL_PAR,
    SENS_CORR_COLL_ACQ,
    SENS_CORR_COLL_SAVE,
    SENS_CORR_COLL_DONE,
    SENS_CORR_COLL_NEXT,
    SENS_CORR_COLL_PRIOR,
    SENS_CORR_COLL_RES,
    SENS_CORR_COLL_VIEW,
    SYST_ERR,
    CMD_IDN,
};
inline constexpr int kMethodCount = 19;
inline constexpr DISPID kFirstDispatchId = 0x60030000;

enum class Family {
    Version,      // answers from a constant, sends nothing
    FixedCommand, // a constant command line
    FixedQuery,   // a constant query line; the reply goes to the caller's string
    Keyword,      // one string that must equal a keyword of the method's list
    Setting,      // numbers, or a setting that can also be queried
};

struct MethodEntry {
    std::wstring_view name;
    Family family;
    std::wstring_view header;      // ends in a blank when an argument follows it
    std::wstring_view queryHeader; // the query form of a setting (VORN_FINT, VORN_IAV)
    Normalisation normalisation;   // of the string argument
    std::span<const std::wstring_view> keywords;
};

// The answer of SPI_VERSION: the version of this command interface.
inline constexpr std::wstring_view kInterfaceVersion = L"01.002";
// The word that turns VORN_FINT and VORN_IAV into queries.
inline constexpr std::wstring_view kQueryWord = L"?";

const MethodEntry& Entry(Method method) noexcept;
std::span<const MethodEntry> Methods() noexcept;

constexpr DISPID DispatchId(Method method) noexcept
{
    return kFirstDispatchId + static_cast<DISPID>(method);
}

} // namespace vorn
