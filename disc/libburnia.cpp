#include "disc/libburnia.hpp"

#include <cstring>
#include <mutex>

#include "app/error.hpp"

namespace velunor::disc_detail {

namespace {

// Both libraries live as long as the process. They are shut down after
// main() returns, when every writer has released its drives.
class Libraries {
public:
    Libraries() {
        // Bit 0: leave the process locale alone; names are UTF-8 on Linux.
        if (iso_init_with_flag(1) < 0) throw Error(-1, "The ISO image library (libisofs) cannot be initialised");
        if (!burn::burn_initialize()) {
            iso_finish();
            throw Error(-1, "The disc writing library (libburn) cannot be initialised");
        }
        char utf8[] = "UTF-8";
        iso_set_local_charset(utf8, 0);
        // One queue for both libraries, nothing printed to stderr.
        burn::burn_set_messenger(iso_get_messenger());
        // DEBUG too: libburn announces the end of its write thread with a DEBUG message.
        char queue[] = "DEBUG", print[] = "NEVER", id[] = "velunor: ";
        burn::burn_msgs_set_severities(queue, print, id);
        iso_set_msgs_severities(queue, print, id);
        // Not burn_set_signal_handling(): its handler ends the process with exit(1).
    }
    ~Libraries() {
        burn::burn_finish();
        iso_finish();
    }
    Libraries(const Libraries&) = delete;
    Libraries& operator=(const Libraries&) = delete;
};

}  // namespace

void EnsureLibraries() {
    // Constructed on first use; a failed construction is retried by the next call.
    static Libraries libraries;
    (void)libraries;
}

int SeverityRank(const char* name) {
    int rank = 0;
    std::string copy = name;
    if (burn::burn_text_to_sev(copy.data(), &rank, 0) <= 0) return 0;
    return rank;
}

std::vector<LibMessage> DrainMessages() {
    std::vector<LibMessage> out;
    char all[] = "ALL";
    std::vector<char> text(BURN_MSGS_MESSAGE_LEN + 1, '\0');
    char severity[81] = {};
    int code = 0, osErrno = 0;
    // Bounded: the queue never holds more than the libraries produced since the last drain.
    for (int i = 0; i < 1000000; ++i) {
        if (burn::burn_msgs_obtain(all, &code, text.data(), &osErrno, severity) <= 0) break;
        LibMessage m;
        m.severity = severity;
        m.rank = SeverityRank(severity);
        m.code = code;
        m.osErrno = osErrno;
        m.text = text.data();
        out.push_back(std::move(m));
    }
    return out;
}

std::string Describe(const LibMessage& m) {
    std::string t = m.text;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    if (m.osErrno != 0) t += " (" + std::string(std::strerror(m.osErrno)) + ")";
    return t;
}

const LibMessage* FirstMessage(const std::vector<LibMessage>& messages, int minRank) {
    for (const auto& m : messages)
        if (m.rank >= minRank) return &m;
    return nullptr;
}

Failure FailureFromQueue(const std::string& fallback) {
    auto messages = DrainMessages();
    if (const LibMessage* m = FirstMessage(messages, SeverityRank("SORRY")))
        return {m->code != 0 ? m->code : -1, fallback + ": " + Describe(*m)};
    return {-1, fallback};
}

}  // namespace velunor::disc_detail
