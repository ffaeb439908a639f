// Internal to disc/: the libisofs and libburn headers in the order their C++
// use needs, one-time library set-up, the shared message queue, and RAII
// holders for the libraries' handles.
//
// libburn puts its API into namespace `burn` when compiled as C++, while
// libisofs declares `struct burn_source` in the global namespace. Both name
// the same C structure; AsBurnSource() converts between the two spellings.
// Nothing here does `using namespace burn`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <libisofs/libisofs.h>
#include <libburn/libburn.h>

namespace velunor::disc_detail {

// Initialises libisofs and libburn once per process: messages of both
// libraries go into one queue (never to stderr), file names are taken as
// UTF-8 whatever the locale says, and no signal handler is installed
// (libburn's own would call exit()). The libraries are shut down at process
// exit. Throws velunor::Error when a library cannot be initialised.
void EnsureLibraries();

// One message of libisofs or libburn.
struct LibMessage {
    int rank = 0;           // severity rank; higher is more severe
    std::string severity;   // "SORRY", "FAILURE", ...
    int code = 0;           // the library's error code
    int osErrno = 0;        // errno behind it, 0 when none
    std::string text;
};

// Severity rank of a name ("SORRY" ...); 0 for an unknown name.
int SeverityRank(const char* name);

// libburn's DEBUG message "Write thread on drive N ended": the last thing
// its write thread does before it leaves the drive.
inline constexpr int kWriteThreadEnded = 0x00020178;

// Takes every queued message (at least DEBUG) out of the shared queue.
std::vector<LibMessage> DrainMessages();

// The message as an operator reads it: its text, and the system's text for
// its errno in parentheses.
std::string Describe(const LibMessage& m);

// The earliest message of at least `minRank` (the cause; later ones tend to
// report only that the run failed), or nullptr.
const LibMessage* FirstMessage(const std::vector<LibMessage>& messages, int minRank);

// Text and number for an error raised after a failed library call: the
// earliest queued message of at least SORRY, else `fallback` with number -1.
struct Failure {
    std::int32_t number = -1;
    std::string text;
};
Failure FailureFromQueue(const std::string& fallback);

inline burn::burn_source* AsBurnSource(::burn_source* s) { return reinterpret_cast<burn::burn_source*>(s); }

// RAII holders.
struct IsoImageUnref {
    void operator()(IsoImage* p) const { iso_image_unref(p); }
};
using IsoImagePtr = std::unique_ptr<IsoImage, IsoImageUnref>;

struct IsoWriteOptsFree {
    void operator()(IsoWriteOpts* p) const { iso_write_opts_free(p); }
};
using IsoWriteOptsPtr = std::unique_ptr<IsoWriteOpts, IsoWriteOptsFree>;

struct IsoReadOptsFree {
    void operator()(IsoReadOpts* p) const { iso_read_opts_free(p); }
};
using IsoReadOptsPtr = std::unique_ptr<IsoReadOpts, IsoReadOptsFree>;

struct IsoDirIterFree {
    void operator()(IsoDirIter* p) const { iso_dir_iter_free(p); }
};
using IsoDirIterPtr = std::unique_ptr<IsoDirIter, IsoDirIterFree>;

struct IsoFeaturesFree {
    void operator()(IsoReadImageFeatures* p) const { iso_read_image_features_destroy(p); }
};
using IsoFeaturesPtr = std::unique_ptr<IsoReadImageFeatures, IsoFeaturesFree>;

struct BurnSourceFree {
    void operator()(burn::burn_source* p) const { burn::burn_source_free(p); }
};
using BurnSourcePtr = std::unique_ptr<burn::burn_source, BurnSourceFree>;

struct BurnDiscFree {
    void operator()(burn::burn_disc* p) const { burn::burn_disc_free(p); }
};
using BurnDiscPtr = std::unique_ptr<burn::burn_disc, BurnDiscFree>;

struct BurnSessionFree {
    void operator()(burn::burn_session* p) const { burn::burn_session_free(p); }
};
using BurnSessionPtr = std::unique_ptr<burn::burn_session, BurnSessionFree>;

struct BurnTrackFree {
    void operator()(burn::burn_track* p) const { burn::burn_track_free(p); }
};
using BurnTrackPtr = std::unique_ptr<burn::burn_track, BurnTrackFree>;

struct BurnWriteOptsFree {
    void operator()(burn::burn_write_opts* p) const { burn::burn_write_opts_free(p); }
};
using BurnWriteOptsPtr = std::unique_ptr<burn::burn_write_opts, BurnWriteOptsFree>;

struct SpeedListFree {
    void operator()(burn::burn_speed_descriptor* p) const { burn::burn_drive_free_speedlist(&p); }
};
using SpeedListPtr = std::unique_ptr<burn::burn_speed_descriptor, SpeedListFree>;

}  // namespace velunor::disc_detail
