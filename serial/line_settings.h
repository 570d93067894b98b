// LineSettings: the serial line parameters, one record for the whole process.
#pragma once

#include <atomic>
#include <cstdint>

namespace zrq {

struct LineSettings {
    // Written by the user-interface thread only while the receiver is held or before it starts;
    // the receiver reads it on every pass, hence atomic.
    std::atomic<int32_t> Port{0};  // 1 = COM1
    int32_t BaudCode = 0;          // serial library rate code: 10 = 4800, 12 = 9600
    int32_t Parity = 0;            // always 0 (none)
    int32_t ByteSize = 3;          // always 3 (8 data bits)
    int32_t StopBits = 0;          // always 0 (one stop bit)
    bool Hw = false;
    bool Sw = false;
    bool Dtr = true;
    bool Rts = true;

    // The values every start and every fallback give the seven fixed fields.
    void setFixedValues() {
        Parity = 0;
        ByteSize = 3;
        StopBits = 0;
        Hw = false;
        Sw = false;
        Dtr = true;
        Rts = true;
    }
};

}  // namespace zrq
