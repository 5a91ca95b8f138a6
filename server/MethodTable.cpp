#include "MethodTable.h"

#include <array>

namespace vorn {

namespace {

using namespace std::string_view_literals;

constexpr std::array kMenus = {L"VORN"sv, L"CONF"sv, L"SERV"sv, L"MODI"sv, L"S11C"sv, L"S22C"sv, L"FULL"sv,
                               L"QFUL"sv, L"ADAP"sv, L"QAD"sv,  L"CCH"sv,  L"CCHA"sv, L"CCHB"sv};
constexpr std::array kMethods = {L"ADAP"sv, L"CCH"sv, L"FULL"sv, L"QAD"sv, L"QFUL"sv, L"S11C"sv, L"S22C"sv};
constexpr std::array kParameters = {L"S11"sv, L"S21"sv, L"S12"sv, L"S22"sv};
constexpr std::array kModules = {L"A"sv, L"B"sv};
constexpr std::array kViews = {L"BOTH"sv, L"DIV"sv};
constexpr std::array kOnOff = {L"ON"sv, L"OFF"sv};

constexpr auto N = Normalisation::None;
constexpr auto U = Normalisation::UpperCase;
constexpr auto T = Normalisation::UpperCaseAndTrim;

const std::array<MethodEntry, kMethodCount> kTable = {{
    {L"SPI_VERSION", Family::Version, {}, {}, N, {}},
    {L"CONFIG", Family::Setting, L"VORN:CONFIG ", {}, N, {}},
    {L"VORN_DELAY", Family::Setting, L"VORN:DELAY ", {}, N, {}},
    {L"DISP_MENU", Family::Keyword, L"DISP:MENU ", {}, U, kMenus},
    {L"VORN_FINT", Family::Setting, L"VORN:FINT ", L"VORN:FINT?", T, kOnOff},
    {L"VORN_IAV", Family::Setting, L"VORN:IAV ", L"VORN:IAV?", N, {}},
    {L"VORN_ABORT", Family::FixedCommand, L"VORN:ABORT", {}, N, {}},
    {L"VORN_CLEAN", Family::FixedCommand, L"VORN:CLEAN", {}, N, {}},
    {L"SENS_CORR_COLL_METH", Family::Keyword, L"SENS:CORR:COLL:METH ", {}, T, kMethods},
    {L"SENS_CORR_COLL_PAR", Family::Keyword, L"SENS:CORR:COLL:PAR ", {}, T, kParameters},
    {L"SENS_CORR_COLL_ACQ", Family::Keyword, L"SENS:CORR:COLL:ACQ ", {}, T, kModules},
    {L"SENS_CORR_COLL_SAVE", Family::Setting, L"SENS:CORR:COLL:SAVE ", {}, T, {}},
    {L"SENS_CORR_COLL_DONE", Family::FixedCommand, L"SENS:CORR:COLL:DONE", {}, N, {}},
    {L"SENS_CORR_COLL_NEXT", Family::FixedCommand, L"SENS:CORR:COLL:NEXT", {}, N, {}},
    {L"SENS_CORR_COLL_PRIOR", Family::FixedCommand, L"SENS:CORR:COLL:PRIOR", {}, N, {}},
    {L"SENS_CORR_COLL_RES", Family::FixedCommand, L"SENS:CORR:COLL:RES", {}, N, {}},
    {L"SENS_CORR_COLL_VIEW", Family::Keyword, L"SENS:CORR:COLL:VIEW ", {}, T, kViews},
    {L"SYST_ERR", Family::FixedQuery, L"SYST:ERR?", {}, N, {}},
    {L"CMD_IDN", Family::FixedQuery, L"*IDN?", {}, N, {}},
}};

} // namespace

const MethodEntry& Entry(Method method) noexcept
{
    return kTable[static_cast<size_t>(method)];
}

std::span<const MethodEntry> Methods() noexcept
{
    return kTable;
}

} // namespace vorn
