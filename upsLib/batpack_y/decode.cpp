/*
 * decode.cpp - the cabinet controller's registers as signals, written as the
 * table of its register map: register k goes to signal 41000 + k.
 */
#include "batpack_y.h"
#include "signals.h"

namespace batpack_y
{

namespace
{

struct Field {
    float factor;
    bool isSigned;
};
constexpr Field U = {1, false}; // unsigned count or status word
constexpr Field S = {1, true};  // signed (temperatures)
constexpr Field V = {0.1f, false};
constexpr Field I = {0.1f, true}; // currents: signed tenths

// Register k -> Data_bms_cbms_total_voltage + k, in register order.
constexpr Field kFields[kRegisters] = {
    V, // total_voltage
    U, // charge_and_discharge_status
    U, // bms_self_test_status
    U, // bmu_work_status1
    U, // bmu_work_status2
    U, // circuit_breaker_switching_state
    I, // current
    U, // soc
    U, // soh
    S, // highest_temp
    U, // group_no_of_highest_temp
    U, // mod_no_of_highest_temp
    S, // lowest_temp
    U, // group_no_of_lowest_temp
    U, // mod_no_of_lowest_temp
    U, // highest_cell_volt
    U, // group_no_of_highest_cell_volt
    U, // mod_no_of_highest_cell_volt
    U, // lowest_cell_volt
    U, // group_no_of_lowest_cell_volt
    U, // mod_no_of_lowest_cell_volt
    U, // alarm_event
    U, // primary_protection_event
    U, // bms_detailed_self_test_status
    U, // bmu_1_16_communication_status
    U, // bmu_16_32_communication_status
    U, // bmu_1_16_volt_status
    U, // bmu_16_32_volt_status
    U, // bmu_1_16_temp_status
    U, // bmu_16_32_temp_status
    U, // secondary_protection_event
    I, // negative_half_cluster_current
};

} // namespace

void decodeReply(const uint8_t* reply, int size, Reports& out)
{
    if (!reply || size < packCmd.recvsize) return;
    for (int k = 0; k < kRegisters; ++k) {
        const unsigned raw = static_cast<unsigned>(reply[3 + 2 * k] << 8 | reply[4 + 2 * k]);
        const float v = kFields[k].isSigned ? static_cast<int16_t>(raw) : static_cast<float>(raw);
        out.push_back({Data_bms_cbms_total_voltage + k, v * kFields[k].factor});
    }
}

} // namespace batpack_y
