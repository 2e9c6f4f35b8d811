/*
 * decode.cpp - the pack's string registers as signals, written as the table
 * of the pack's register map: register k goes to signal 42500 + k.
 */
#include "batpack_x.h"
#include "signals.h"

namespace batpack_x
{

namespace
{

struct Field {
    int sig;
    float factor;
    bool isSigned;
};

// In register order.
constexpr Field kFields[kRegisters] = {
    {Data_BMS_Battery_Run_status, 1, false},
    {Data_BMS_charge_voltage, 0.1f, false},
    {Data_BMS_charge_current, 0.1f, true},
    {Data_BMS_allowed_max_charge_voltage, 0.1f, false},
    {Data_BMS_allowed_max_charge_current, 0.1f, true},
    {Data_BMS_charge_reguest_alarm_indication, 1, false},
    {Data_BMS_Battery_EOD_voltage, 0.1f, false},
    {Data_BMS_Battery_SOC_P, 1, false},
    {Data_BMS_Battery_SOC_N, 1, false},
    {Data_BMS_Battery_SOH_P, 1, false},
    {Data_BMS_Battery_SOH_N, 1, false},
    {Data_BMS_addve_online_String_count, 1, false},
    {Data_BMS_reduceve_online_String_count, 1, false},
    {Data_BMS_Battery_Capacity, 1, false},
    {Data_BMS_Stop_Discharging_Warning, 1, false},
};

} // namespace

void decodeReply(const uint8_t* reply, int size, Reports& out)
{
    if (!reply || size < packCmd.recvsize) return;
    for (int k = 0; k < kRegisters; ++k) {
        const unsigned raw = static_cast<unsigned>(reply[3 + 2 * k] << 8 | reply[4 + 2 * k]);
        const float v = kFields[k].isSigned ? static_cast<int16_t>(raw) : static_cast<float>(raw);
        out.push_back({kFields[k].sig, v * kFields[k].factor});
    }
}

} // namespace batpack_x
