#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "app/error.hpp"
#include "bookkeeping/bookkeeping.hpp"
#include "collect/collect.hpp"
#include "disc/disc_writer.hpp"

namespace velunor {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    int err = errno;
    throw Error(err, what + ": " + std::generic_category().message(err));
}

// Runs one list's updates: `value` into StudyDirectory2 of each study UID.
// Progress from `from` to `from` + 5000 on pbDB.
void UpdateList(Run& run, Database* db, const std::vector<std::string>& uids, const std::string& value,
                const char* listTag, int from) {
    WindowSystem& w = run.window();
    const std::string statement = "Update tblStudies Set StudyDirectory2 = '" + value + "' Where StudyUID = ?";
    const double step = uids.empty() ? 0.0 : 5000.0 / static_cast<double>(uids.size());
    double progress = from;
    bool firstFailure = true;
    for (const auto& uid : uids) {
        try {
            if (!db) throw Error(0, "no database connection");
            if (db->Execute(statement, {uid}) > 0) ++run.state.summary.recordedStudies;
        } catch (const Error& e) {
            ++run.state.summary.failedUpdates;
            // The first failure of a list is shown; later ones go to the log only.
            run.shell.LogError(e.number(), std::string(e.what()) + " " + listTag + statement + " [" + uid + "]",
                               "DBUpdate", 0, !firstFailure);
            firstFailure = false;
        }
        progress += step;
        w.SetValue(Control::pbDB, static_cast<int>(progress));
        w.Yield();
    }
}

void EmptyStaging(Run& run) {
    for (const char* folder : {"DVD/", "DVD/1/", "DVD/2/", "Unzip/", "DVDTemp/"}) {
        try {
            EmptyFolder(run.Staging(folder).string());
        } catch (const std::exception&) {
            // A file that cannot be deleted stays; the next run's preparation
            // empties the folders again.
        }
    }
}

}  // namespace

void WriteLastMediaNr(const std::filesystem::path& programDir, std::int32_t mediaNumber) {
    const auto target = programDir / "LastMediaNr";
    auto tmp = target;
    tmp += ".tmp";
    const std::string line = (mediaNumber >= 0 ? " " : "") + std::to_string(mediaNumber) + " \r\n";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) ThrowErrno("LastMediaNr cannot be written");
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = err;
            ThrowErrno("LastMediaNr cannot be written");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(tmp.c_str());
        errno = err;
        ThrowErrno("LastMediaNr cannot be written");
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        ThrowErrno("LastMediaNr cannot be written");
    }
    // Make the rename itself durable.
    int dir = ::open(programDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

bool DBUpdate(Run& run) {
    WindowSystem& w = run.window();
    const Settings& s = run.settings();
    RunState& st = run.state;
    const std::int32_t n = st.MediaNumber;
    bool result = true;

    w.SetValue(Control::pbDB, 0);
    w.SetVisible(Control::pbDB, true);

    std::unique_ptr<Database> db;
    try {
        db = OpenDatabase(s.ServerType, s.Server, s.ConnectionString, 300);
    } catch (const Error& e) {
        run.shell.LogError(e.number(), e.what(), "DBUpdate");
    }

    if (!db && run.writer.WrittenImageStays()) {
        // Nothing can be recorded now, but the image stays in the image
        // folder: the disc keeps its number, and the next run takes the
        // image over, verifies it again and records it. (A disc leaves with
        // the operator; its number is used up below, recorded or not.)
        run.shell.LogError(0, "DVD " + std::to_string(n + 1) +
                                  " is not recorded: the database cannot be reached. Its image stays in the image "
                                  "folder; the next run verifies and records it",
                           "DBUpdate");
        EmptyStaging(run);
        return false;
    }

    const std::string both = "DVD " + std::to_string(n) + "|DVD " + std::to_string(n + 1);
    const std::string single = "DVD " + std::to_string(n + 1);
    UpdateList(run, db.get(), st.DiscStudies1, both, "1 ", 0);
    w.SetValue(Control::pbDB, 5000);
    UpdateList(run, db.get(), st.DiscStudies2, single, "2 ", 5000);

    try {
        run.writer.Eject();
    } catch (const std::exception&) {
    }
    db.reset();

    // The staging tree is emptied before the number advances. A run that
    // ends in between (killed, power lost) leaves the number of this disc,
    // so no part of this disc's content can stay behind in DVD/1/ and be
    // written onto the next disc as if it were whole.
    EmptyStaging(run);

    // The disc exists whatever the database said: its number is used up.
    st.MediaNumber = n + 1;
    try {
        WriteLastMediaNr(run.shell.programDir, st.MediaNumber);
    } catch (const Error& e) {
        run.shell.LogError(e.number(), std::string(e.what()) + " (disc " + std::to_string(st.MediaNumber) +
                                           " is written; set LastMediaNr by hand before the next run)",
                           "DBUpdate");
        result = false;
    }
    return result;
}

}  // namespace velunor
