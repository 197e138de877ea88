#include "sim/SimModule.h"

// The living part of the simulated module: values that drift and log lines
// of several device modules, so the Status and Log pages have something to show.
void SimModule::tick() {
    unsigned n;
    {
        std::lock_guard<std::recursive_mutex> g(mutex_);
        n = ++tickCount_;
    }
    const unsigned secs = 2 * 3600 + 13 * 60 + 40 + n / 10;
    const QByteArray uptime = QByteArray("0d ") + QByteArray::number(secs / 3600).rightJustified(2, '0') + ":" +
                              QByteArray::number(secs / 60 % 60).rightJustified(2, '0') + ":" +
                              QByteArray::number(secs % 60).rightJustified(2, '0');
    setStatus("SUTM", uptime);
    setStatus("RFP", QByteArray::number(18 + int(n / 7 % 6)));
    setStatus("VSU", QByteArray::number(12600 + int(n % 13) * 10));
    setStatus("IN1V", (n / 50) % 2 ? "0" : "1");
    setStatus("RE1", (n / 80) % 2 ? "1" : "0");
    if (n % 10 == 0) out(Status, statusPairs());
    if (!mainlogOn()) return;
    static const char* const kLines[] = {
        "] <LINK> (up) GSM registered, home network",
        "] <SIO> (rx) 12 bytes",
        "] <ATCH> (ok) attached to packet service",
        "] <DTMF> (key) 5",
        "] <JST> (tick) scheduler idle",
        "] <PPP> (lcp) echo reply",
        "] <DTMFF> (filter) level ok",
        "] <SLIC> (hook) on",
    };
    if (n % 5 == 0) {
        const QByteArray stamp = QByteArray::number(secs / 3600).rightJustified(2, '0') + ":" +
                                 QByteArray::number(secs / 60 % 60).rightJustified(2, '0') + ":" +
                                 QByteArray::number(secs % 60).rightJustified(2, '0');
        emitLogLine(stamp + kLines[(n / 5) % (sizeof kLines / sizeof *kLines)]);
    }
}
