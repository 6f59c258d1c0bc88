#pragma once
// The daemon's only gateway to the System Management Controller: the user-client connection,
// key reads and writes, value decoding, and fan control.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/smc/smc_types.h"
#include "platform/log.h"
#include "platform/smc_driver.h"
#include "platform/smc_keys.h"

namespace wattkeeper::daemon {

// Whether a value read has the size and type the switch key is known by ("hex_", and "ui8 " for a
// single byte, are raw bytes to any controller).
bool hasSwitchForm(const SMCVal_t& value, const ChargeSwitchKey& key);

class SMC {
public:
    SMC(SmcDriver& driver, Log& log);
    // Closes the connection; a failure is logged.
    ~SMC();
    SMC(const SMC&) = delete;
    SMC& operator=(const SMC&) = delete;

    // The process-wide client, made on first use from the process's ports, with no connection.
    static SMC& shared();
    // Puts another client in place of the shared one (nothing: a fresh one on next use).
    static void replaceShared(std::unique_ptr<SMC> smc);

    // 0 when a connection is open, 1 on any failure (already logged). While a handle is held,
    // usable or not, nothing new is opened.
    std::int32_t open();
    // IOServiceClose's code, and the handle is dropped, so later calls fail as on no connection;
    // with no handle held nothing is closed and the code is MACH_SEND_INVALID_DEST.
    KernReturn close();
    // Whether the controller's service exists; asks quietly and opens nothing.
    bool hasService();
    IoConnect conn() const { return conn_.load(std::memory_order_relaxed); }

    // Fills size, type and bytes; 0, or the code of the first failing driver call.
    KernReturn read(SMCVal_t& value);
    // Sends size and all 32 bytes; the type is not sent.
    KernReturn write(const SMCVal_t& value);

    std::optional<double> getValue(std::string_view key);
    std::optional<std::string> getStringValue(std::string_view key);
    std::vector<std::string> getAllKeys();
    KernReturn writeFPE2(std::string_view key, std::int64_t value);
    // True when the key (by default the first set's charging key) can be read.
    bool isChargeKeyReadable(std::string_view key = kChargingKey);
    std::optional<int> getUInt8Value(std::string_view key);
    void setUInt8Value(std::string_view key, std::int64_t value);
    // A switch key of the newer generations: true or false when it holds its on or its off bytes;
    // nothing when it cannot be read (logged as getUInt8Value does), has another form, or holds
    // anything else.
    std::optional<bool> getSwitchValue(const ChargeSwitchKey& key);
    // Writes the on or off bytes when the key has the switch's form; each failure logged.
    void setSwitchValue(const ChargeSwitchKey& key, bool on);

    void setFanMode(int fan, FanMode mode);
    void setFanSpeed(int fan, int speed);
    void resetFans();

    // The kernel's text for a code, or "unknown error" when it is not ASCII.
    std::string errorText(KernReturn code);

private:
    // The controller's service (released by the caller), or 0, with the failing step logged
    // unless `quiet`.
    IoObject findService(bool quiet);
    // One struct-method call; `output` is the operation's reply buffer.
    KernReturn call(const SMCKeyData_t& input, SMCKeyData_t& output);
    // Refuses, with a log line, a key the driver cannot address.
    bool acceptKey(std::string_view key);
    void logLine(std::string_view line) { log_.standardOutput(line); }

    SmcDriver& driver_;
    Log& log_;
    std::atomic<IoConnect> conn_{0};
};

}  // namespace wattkeeper::daemon
