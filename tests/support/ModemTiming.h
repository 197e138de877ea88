#pragma once
// The escape over the simulated modem in tests: the tool waits this long
// before and after "+++" (the device's wait is 200 ms). The simulated modem
// wants a quarter of it as silence (SimModem::Knobs::guardMs); the rest is
// the room a loaded machine has, where the terminal may hand the modem its
// input that much late without the escape being missed.
namespace testTiming {

constexpr int modemEscapeSleepMs = 40;

}   // namespace testTiming
