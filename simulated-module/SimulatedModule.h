#pragma once
// The Vorn module as its command interface shows it: a few settings, a minimal calibration
// sequence, the SCPI error queue and the reply to the last query. Plain C++, no Windows.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace vornsim {

class SimulatedModule {
public:
    static constexpr std::size_t errorQueueCapacity = 10;
    static constexpr std::string_view identification = "VORN,EC-2P Simulated Module,SIM00001,01.002";

    // One command line, without its terminator. `identity` answers *IDN? (empty: `identification`).
    void execute(std::string_view line, std::string_view identity = {});

    // The reply to the query just executed, handed out once. Without one, queues -420.
    std::optional<std::string> takeReply();

private:
    enum class Method { None, Adapter, CalCheck, Full, QuickAdapter, QuickFull, S11, S22 };

    using Handler = void (SimulatedModule::*)(std::string_view argument);
    struct Command {
        std::string_view header;
        Handler handler;
    };
    static const Command commands[];

    std::string_view identity_; // valid during execute()

    void pushError(int code, std::string_view text, std::string_view reason = {});
    void refuseParameter() { pushError(-224, "Illegal parameter value"); }
    void conflict(std::string_view reason) { pushError(-221, "Settings conflict", reason); }
    bool expectNoArgument(std::string_view argument);
    void resetCalibration();
    void resetSettings();

    void identify(std::string_view);
    void readError(std::string_view);
    void clearStatus(std::string_view);
    void reset(std::string_view);
    void configure(std::string_view);
    void setDelay(std::string_view);
    void showMenu(std::string_view);
    void setFastIntegration(std::string_view);
    void queryFastIntegration(std::string_view);
    void setAverages(std::string_view);
    void queryAverages(std::string_view);
    void abort(std::string_view);
    void clean(std::string_view);
    void chooseMethod(std::string_view);
    void chooseParameter(std::string_view);
    void acquire(std::string_view);
    void save(std::string_view);
    void step(std::string_view);
    void resetCollection(std::string_view);
    void setView(std::string_view);

    std::deque<std::string> errors_;
    std::optional<std::string> pendingReply_;

    bool fastIntegration_ = true;
    long averages_ = 1;
    std::string menu_ = "VORN";
    std::string view_ = "BOTH";
    std::string parameter_ = "S11";
    long config_[4] = {1, 7, 16, 1};
    double delay_ = 0.0;
    long delayMode_ = 0;

    Method method_ = Method::None;
    bool acquired_ = false;
    long savedRegister_ = 0;
};

} // namespace vornsim
