#include "SimulatedModule.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <span>
#include <system_error>

namespace vornsim {
namespace {

std::string_view trim(std::string_view text)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string upper(std::string_view text)
{
    std::string result(text);
    for (char& c : result)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return result;
}

// Whole text as a decimal integer with optional sign; leading zeros are fine ("02" is 2).
std::optional<long> parseInteger(std::string_view text)
{
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9')
        return std::nullopt;
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return negative ? -value : value;
}

std::optional<long> parseInteger(std::string_view text, long low, long high)
{
    const auto value = parseInteger(text);
    if (!value || *value < low || *value > high)
        return std::nullopt;
    return value;
}

// Locale-free on purpose: the text arrives with a decimal point already (see setDelay).
std::optional<double> parseNumber(std::string_view text)
{
    text = trim(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// Index of the keyword matching `text` (case-insensitive), if any.
std::optional<std::size_t> parseKeyword(std::string_view text, std::span<const std::string_view> keywords)
{
    const std::string wanted = upper(trim(text));
    std::size_t index = 0;
    for (const std::string_view keyword : keywords) {
        if (wanted == keyword)
            return index;
        ++index;
    }
    return std::nullopt;
}

std::optional<std::size_t> parseKeyword(std::string_view text, std::initializer_list<std::string_view> keywords)
{
    return parseKeyword(text, std::span<const std::string_view>(keywords.begin(), keywords.size()));
}

std::optional<bool> parseSwitch(std::string_view text)
{
    const auto index = parseKeyword(text, {"ON", "1", "OFF", "0"});
    if (!index)
        return std::nullopt;
    return *index < 2;
}

} // namespace

const SimulatedModule::Command SimulatedModule::commands[] = {
    {"*IDN?", &SimulatedModule::identify},
    {"*CLS", &SimulatedModule::clearStatus},
    {"*RST", &SimulatedModule::reset},
    {"SYST:ERR?", &SimulatedModule::readError},
    {"VORN:CONFIG", &SimulatedModule::configure},
    {"VORN:DELAY", &SimulatedModule::setDelay},
    {"VORN:FINT", &SimulatedModule::setFastIntegration},
    {"VORN:FINT?", &SimulatedModule::queryFastIntegration},
    {"VORN:IAV", &SimulatedModule::setAverages},
    {"VORN:IAV?", &SimulatedModule::queryAverages},
    {"VORN:ABORT", &SimulatedModule::abort},
    {"VORN:CLEAN", &SimulatedModule::clean},
    {"DISP:MENU", &SimulatedModule::showMenu},
    {"SENS:CORR:COLL:METH", &SimulatedModule::chooseMethod},
    {"SENS:CORR:COLL:PAR", &SimulatedModule::chooseParameter},
    {"SENS:CORR:COLL:ACQ", &SimulatedModule::acquire},
    {"SENS:CORR:COLL:SAVE", &SimulatedModule::save},
    {"SENS:CORR:COLL:DONE", &SimulatedModule::step},
    {"SENS:CORR:COLL:NEXT", &SimulatedModule::step},
    {"SENS:CORR:COLL:PRIOR", &SimulatedModule::step},
    {"SENS:CORR:COLL:RES", &SimulatedModule::resetCollection},
    {"SENS:CORR:COLL:VIEW", &SimulatedModule::setView},
};

void SimulatedModule::execute(std::string_view line, std::string_view identity)
{
    identity_ = identity;
    // A new command discards an unread reply, as an instrument's output queue does.
    if (pendingReply_) {
        pendingReply_.reset();
        pushError(-410, "Query INTERRUPTED");
    }

    line = trim(line);
    if (line.empty())
        return;
    if (line.front() == ':')
        line.remove_prefix(1);

    const std::size_t blank = line.find_first_of(" \t");
    const std::string header = upper(line.substr(0, blank));
    const std::string_view argument = blank == std::string_view::npos ? std::string_view() : trim(line.substr(blank));

    for (const Command& command : commands) {
        if (command.header == header) {
            (this->*command.handler)(argument);
            return;
        }
    }
    pushError(-113, "Undefined header");
}

std::optional<std::string> SimulatedModule::takeReply()
{
    if (!pendingReply_) {
        pushError(-420, "Query UNTERMINATED");
        return std::nullopt;
    }
    std::optional<std::string> reply = std::move(pendingReply_);
    pendingReply_.reset();
    return reply;
}

void SimulatedModule::pushError(int code, std::string_view text, std::string_view reason)
{
    // A full queue keeps its oldest entries; the newest slot then reports the overflow.
    if (errors_.size() >= errorQueueCapacity) {
        errors_.back() = "-350,\"Queue overflow\"";
        return;
    }
    std::string entry = std::to_string(code) + ",\"";
    entry += text;
    if (!reason.empty()) {
        entry += ';';
        entry += reason;
    }
    entry += '"';
    errors_.push_back(std::move(entry));
}

bool SimulatedModule::expectNoArgument(std::string_view argument)
{
    if (argument.empty())
        return true;
    refuseParameter();
    return false;
}

void SimulatedModule::resetCalibration()
{
    method_ = Method::None;
    acquired_ = false;
}

void SimulatedModule::resetSettings()
{
    // *RST restores the settings; the error queue is not a setting.
    std::deque<std::string> errors = std::move(errors_);
    *this = SimulatedModule();
    errors_ = std::move(errors);
}

void SimulatedModule::identify(std::string_view argument)
{
    if (expectNoArgument(argument))
        pendingReply_ = std::string(identity_.empty() ? identification : identity_);
}

void SimulatedModule::readError(std::string_view argument)
{
    if (!expectNoArgument(argument))
        return;
    if (errors_.empty()) {
        pendingReply_ = "+0,\"No error\"";
        return;
    }
    pendingReply_ = std::move(errors_.front());
    errors_.pop_front();
}

void SimulatedModule::clearStatus(std::string_view argument)
{
    if (expectNoArgument(argument))
        errors_.clear();
}

void SimulatedModule::reset(std::string_view argument)
{
    if (expectNoArgument(argument))
        resetSettings();
}

void SimulatedModule::configure(std::string_view argument)
{
    // t,n,a,p: four integers, each with its own range.
    static constexpr long low[4] = {1, 0, 1, 1};
    static constexpr long high[4] = {2, 8, 32, 4};
    long values[4] = {};
    for (int i = 0; i < 4; ++i) {
        const std::size_t comma = i < 3 ? argument.find(',') : std::string_view::npos;
        if (i < 3 && comma == std::string_view::npos)
            return refuseParameter();
        const auto value = parseInteger(argument.substr(0, comma), low[i], high[i]);
        if (!value)
            return refuseParameter();
        values[i] = *value;
        argument = i < 3 ? argument.substr(comma + 1) : std::string_view();
    }
    std::copy(std::begin(values), std::end(values), std::begin(config_));
}

void SimulatedModule::setDelay(std::string_view argument)
{
    // "d,m" where d is written in the sender's locale: "2.5,3", or "2,5,3" with a decimal comma.
    // So one comma separates d from m; with two, the first is d's decimal comma.
    const auto commas = std::count(argument.begin(), argument.end(), ',');
    const std::size_t last = argument.rfind(',');
    if (commas < 1 || commas > 2)
        return refuseParameter();
    std::string number(argument.substr(0, last));
    std::replace(number.begin(), number.end(), ',', '.');
    const auto delay = parseNumber(number);
    const auto mode = parseInteger(argument.substr(last + 1));
    if (!delay || !mode)
        return refuseParameter();
    delay_ = *delay;
    delayMode_ = *mode;
}

void SimulatedModule::showMenu(std::string_view argument)
{
    static constexpr std::string_view menus[] = {
        "VORN", "CONF", "SERV", "MODI", "S11C", "S22C", "FULL", "QFUL", "ADAP", "QAD", "CCH", "CCHA", "CCHB"};
    const auto index = parseKeyword(argument, menus);
    if (!index)
        return refuseParameter();
    menu_ = menus[*index];
}

void SimulatedModule::setFastIntegration(std::string_view argument)
{
    const auto on = parseSwitch(argument);
    if (!on)
        return refuseParameter();
    fastIntegration_ = *on;
}

void SimulatedModule::queryFastIntegration(std::string_view argument)
{
    if (expectNoArgument(argument))
        pendingReply_ = fastIntegration_ ? "1" : "0";
}

void SimulatedModule::setAverages(std::string_view argument)
{
    const auto count = parseInteger(argument, 1, 1024);
    if (!count)
        return refuseParameter();
    averages_ = *count;
}

void SimulatedModule::queryAverages(std::string_view argument)
{
    if (expectNoArgument(argument))
        pendingReply_ = std::to_string(averages_);
}

void SimulatedModule::abort(std::string_view argument)
{
    if (expectNoArgument(argument))
        resetCalibration();
}

void SimulatedModule::clean(std::string_view argument)
{
    if (expectNoArgument(argument))
        resetCalibration();
}

void SimulatedModule::chooseMethod(std::string_view argument)
{
    const auto index = parseKeyword(argument, {"ADAP", "CCH", "FULL", "QAD", "QFUL", "S11C", "S22C"});
    if (!index)
        return refuseParameter();
    static constexpr Method methods[] = {Method::Adapter, Method::CalCheck, Method::Full, Method::QuickAdapter,
                                         Method::QuickFull, Method::S11, Method::S22};
    method_ = methods[*index];
    acquired_ = false;
}

void SimulatedModule::chooseParameter(std::string_view argument)
{
    const auto index = parseKeyword(argument, {"S11", "S21", "S12", "S22"});
    if (!index)
        return refuseParameter();
    parameter_ = upper(trim(argument));
}

void SimulatedModule::acquire(std::string_view argument)
{
    if (!parseKeyword(argument, {"A", "B"}))
        return refuseParameter();
    if (method_ == Method::None)
        return conflict("acquisition needs a calibration method");
    acquired_ = true;
}

void SimulatedModule::save(std::string_view argument)
{
    const auto target = parseInteger(argument, 1, 12);
    if (!target)
        return refuseParameter();
    if (!acquired_)
        return conflict("nothing acquired to save");
    savedRegister_ = *target;
}

void SimulatedModule::step(std::string_view argument)
{
    // Moving through the standards needs no state of its own here.
    expectNoArgument(argument);
}

void SimulatedModule::resetCollection(std::string_view argument)
{
    if (expectNoArgument(argument))
        resetCalibration();
}

void SimulatedModule::setView(std::string_view argument)
{
    const auto index = parseKeyword(argument, {"BOTH", "DIV"});
    if (!index)
        return refuseParameter();
    view_ = *index == 0 ? "BOTH" : "DIV";
}

} // namespace vornsim
