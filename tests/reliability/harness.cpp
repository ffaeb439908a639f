#include "tests/reliability/harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velunor::reliability {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::Capture;
using test::Fd;
using test::Quote;

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + (errno ? std::string(": ") + std::strerror(errno) : std::string()));
}

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

bool EndsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::optional<std::int32_t> ParseNumber(const std::string& text) {
    const std::string t = Trim(text);
    if (t.empty()) return std::nullopt;
    std::size_t used = 0;
    try {
        long long v = std::stoll(t, &used);
        if (used != t.size() || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
        return static_cast<std::int32_t>(v);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The discs a StudyDirectory2 value names: {k} for "DVD k", {a, b} for
// "DVD a|DVD b"; nullopt when the value is no disc value.
std::optional<std::vector<std::int32_t>> DiscsOf(const std::string& value) {
    std::vector<std::int32_t> discs;
    std::stringstream parts(value);
    std::string part;
    while (std::getline(parts, part, '|')) {
        if (part.rfind("DVD ", 0) != 0) return std::nullopt;
        auto n = ParseNumber(part.substr(4));
        if (!n || Trim(part.substr(4)) != part.substr(4) || *n <= 0) return std::nullopt;
        discs.push_back(*n);
    }
    if (discs.empty() || discs.size() > 2 || (!value.empty() && value.back() == '|')) return std::nullopt;
    return discs;
}

const std::vector<std::string>& Phases() {
    static const std::vector<std::string> phases{"Gathering data", "Create dicomdir", "Create DVD", "Verify DVD",
                                                 "Update database"};
    return phases;
}

}  // namespace

std::string Slurp(const fs::path& p) { return test::ReadAll(p); }

// ---------------------------------------------------------------- Scenario

Scenario::Scenario(const ScenarioOptions& options) : options_(options) {
    if (options_.batches < 0 || options_.studiesPerBatch < 1) throw std::runtime_error("a scenario needs studies");
    db_ = std::make_unique<test::TestArchive>(options_.kind, root());
    if (options_.batches > 0) {
        archive::Options o;
        o.out = root() / "archive";
        o.seed = options_.seed;
        o.studies = options_.batches * options_.studiesPerBatch;
        o.filesPerStudy = options_.filesPerStudy;
        o.fileBytes = options_.fileBytes;
        o.zipPercent = options_.zipPercent;
        o.unreadable = options_.unreadable;
        generated_ = archive::GenerateArchive(o);
        for (const auto& r : generated_.roots) {
            db_->AddArchive(r.archiveId, r.unc, r.path);
            nextArchiveId_ = std::max(nextArchiveId_, r.archiveId + 1);
        }
        for (const auto& s : generated_.studies) {
            db_->AddStudy(s.studyId, s.studyUid, s.directory1, std::string(kNotYetArrived), s.archiveId);
            batchOf_.push_back(static_cast<int>(batchOf_.size()) / options_.studiesPerBatch);
        }
    }

    for (const char* f : {"Unzip", "DVD", "DVD/1", "DVD/2", "DVDTemp"}) fs::create_directories(staging() / f);
    fs::create_directories(tmp());
    fs::create_directories(prog());
    fs::create_directories(images());
    const fs::path source = options_.cli.empty() ? fs::path(VELUNOR_CLI_PATH) : options_.cli;
    fs::copy_file(source, cli(), fs::copy_options::overwrite_existing);
    WriteIni(options_.extraIni);
}

void Scenario::WriteIni(const std::string& extra, std::optional<int> authBurn) {
    test::WriteAll(prog() / "velunor.ini", "[CONFIG]\nServerType=" + db_->serverType() + "\nServer=" +
                                              db_->server() + "\nTempPath=" + staging().string() +
                                              "\nImageFolder=" + images().string() +
                                              "\nMSGDVDName=Label it DVD {NAME}\nMSGDVDInsert=Insert a disc\n"
                                              "AuthBurn=" + std::to_string(authBurn.value_or(options_.authBurn)) +
                                              "\nArchive=1\n" + extra);
}

bool Scenario::ReleaseNextBatch() {
    if (released_ >= options_.batches) return false;
    for (std::size_t i = 0; i < batchOf_.size(); ++i)
        if (batchOf_[i] == released_)
            db_->db().Execute("UPDATE tblStudies SET StudyDirectory2 = NULL WHERE StudyID = " +
                              std::to_string(generated_.studies[i].studyId));
    ++released_;
    return true;
}

int Scenario::BatchOf(const archive::Study& s) const {
    return batchOf_.at(static_cast<std::size_t>(&s - generated_.studies.data()));
}

bool Scenario::Arrived(const archive::Study& s) const {
    const int batch = BatchOf(s);
    return batch < 0 || batch < released_;
}

std::vector<std::size_t> Scenario::Arrive(archive::Options o) {
    o.out = root() / "arrivals" / std::to_string(++arrivals_);
    o.unreadable = 0;
    o.carryOver = 0;
    o.migrated = 0;
    archive::Archive a = archive::GenerateArchive(o);
    std::map<int, int> archiveIds;
    for (auto& r : a.roots) {
        archiveIds[r.archiveId] = nextArchiveId_;
        r.archiveId = nextArchiveId_++;
        db_->AddArchive(r.archiveId, r.unc, r.path);
        generated_.roots.push_back(r);
    }
    int nextStudyId = 1;
    for (const auto& s : generated_.studies) nextStudyId = std::max(nextStudyId, s.studyId + 1);
    std::vector<std::size_t> added;
    for (auto& s : a.studies) {
        s.studyId = nextStudyId++;
        s.archiveId = archiveIds.at(s.archiveId);
        db_->AddStudy(s.studyId, s.studyUid, s.directory1, std::nullopt, s.archiveId);
        added.push_back(generated_.studies.size());
        generated_.studies.push_back(std::move(s));
        batchOf_.push_back(-1);
    }
    return added;
}

bool Scenario::Corrupt(std::size_t study, std::mt19937_64& rng) {
    archive::Study& s = generated_.studies.at(study);
    std::vector<archive::File*> candidates;
    for (auto& f : s.files)
        if (f.kind == archive::File::Kind::Dicom || f.kind == archive::File::Kind::Zip) candidates.push_back(&f);
    if (candidates.empty()) return false;
    archive::File& f = *candidates[rng() % candidates.size()];
    const std::string bytes = Slurp(f.path);
    test::WriteAll(f.path, bytes.substr(0, bytes.size() * 2 / 3));
    f.kind = archive::File::Kind::Unreadable;
    f.problem = "cut to two thirds";
    s.readable = false;
    return true;
}

std::set<std::string> ReadableObjects(const archive::Study& s) {
    std::set<std::string> objects;
    for (const auto& f : s.files)
        if (f.kind == archive::File::Kind::Dicom || f.kind == archive::File::Kind::Zip)
            objects.insert(f.sopInstanceUid);
    return objects;
}

std::optional<std::int32_t> Scenario::LastMediaNr() const {
    const fs::path f = prog() / "LastMediaNr";
    if (!fs::exists(f)) return std::nullopt;
    std::string text = Slurp(f);
    text = text.substr(0, text.find('\n'));
    auto n = ParseNumber(text);
    if (!n) throw std::runtime_error("LastMediaNr holds no number: \"" + text + "\"");
    return n;
}

// ---------------------------------------------------------------- the child

std::string Moment::Describe() const {
    std::string what = !phase.empty() ? "phase \"" + phase + "\""
                                      : std::string(deletion ? "deletion" : "entry") + " #" +
                                            std::to_string(occurrence) + " \"*" + nameEndsWith + "\" in " + folder +
                                            "/";
    return what + " + " + std::to_string(delay.count()) + " us";
}

std::string ChildResult::LastLine() const {
    auto end = output.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    const auto newline = output.rfind('\n', end);
    const std::size_t start = newline == std::string::npos ? 0 : newline + 1;
    const std::string line = output.substr(start, end - start + 1);
    return line.rfind("Velunor: ", 0) == 0 ? line : "";
}

ChildResult RunCli(const Scenario& scenario, const ChildOptions& options) {
    test::Process p;
    p.argv = {scenario.cli().string()};
    p.argv.insert(p.argv.end(), options.args.begin(), options.args.end());
    p.env = options.env;
    p.env.emplace("TMPDIR", scenario.tmp().string());
    p.fileSizeLimit = options.fileSizeLimit;
    p.timeout = options.timeout;
    p.sampleFds = options.sampleResources;

    // Creations, renames and deletions in the folders a run writes.
    Fd notify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (notify.fd < 0) Fail("inotify_init1");
    std::map<int, std::string> watched;
    const std::vector<std::pair<std::string, fs::path>> folders{
        {"prog", scenario.prog()},          {"iso", scenario.images()},
        {"DVD", scenario.staging() / "DVD"}, {"DVD/1", scenario.staging() / "DVD/1"},
        {"DVD/2", scenario.staging() / "DVD/2"}, {"DVDTemp", scenario.staging() / "DVDTemp"},
        {"Unzip", scenario.staging() / "Unzip"}};
    for (const auto& [key, path] : folders) {
        int wd = ::inotify_add_watch(notify.fd, path.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE);
        if (wd >= 0) watched[wd] = key;
    }
    p.wakeFd = notify.fd;

    struct Pending {
        const Action* action = nullptr;
        int seen = 0;
        std::optional<Clock::time_point> due;
        bool done = false;
    };
    std::vector<Pending> pending;
    for (const auto& a : options.actions) pending.push_back({&a, 0, {}, false});
    auto arm = [](Pending& x) {
        if (!x.due && !x.done) x.due = Clock::now() + x.action->at.delay;
    };

    ChildResult result;
    const auto start = Clock::now();
    // Phase lines are moments.
    p.onLine = [&](const std::string& line) {
        for (const auto& phase : Phases()) {
            if (line != "Velunor: " + phase) continue;
            result.phaseStart.emplace(phase, std::chrono::duration<double>(Clock::now() - start).count());
            for (auto& x : pending)
                if (x.action->at.phase == phase) arm(x);
        }
    };
    p.onTick = [&](pid_t pid) {
        // File events are moments.
        for (;;) {
            alignas(struct inotify_event) char buf[8192];
            const ssize_t got = ::read(notify.fd, buf, sizeof buf);
            if (got <= 0) break;
            for (char* at = buf; at < buf + got;) {
                auto* ev = reinterpret_cast<struct inotify_event*>(at);
                at += sizeof(struct inotify_event) + ev->len;
                auto w = watched.find(ev->wd);
                if (w == watched.end() || ev->len == 0) continue;
                const std::string name(ev->name);
                for (auto& x : pending) {
                    const Moment& m = x.action->at;
                    if (!m.phase.empty() || m.folder != w->second || !EndsWith(name, m.nameEndsWith)) continue;
                    if (m.deletion != ((ev->mask & IN_DELETE) != 0)) continue;
                    if (++x.seen == m.occurrence) arm(x);
                }
            }
        }
        const auto now = Clock::now();
        std::chrono::nanoseconds next = std::chrono::milliseconds(20);
        for (auto& x : pending) {
            if (x.done || !x.due) continue;
            if (*x.due <= now) {
                x.action->act(pid);
                result.fired.push_back(x.action->at.Describe());
                x.done = true;
            } else {
                next = std::min<std::chrono::nanoseconds>(next, *x.due - now);
            }
        }
        return next;
    };
    static_cast<test::ProcessResult&>(result) = test::RunProcess(p);
    return result;
}

// ---------------------------------------------------------------- the database relay

struct DbProxy::Impl {
    int target = 0;
    Fd listener;
    Fd wake[2];   // a pipe that interrupts the relay's poll
    std::atomic<bool> stopping{false};
    std::thread relay;

    void Run() {
        std::vector<std::pair<Fd, Fd>> pairs;   // client, server
        while (!stopping) {
            std::vector<struct pollfd> fds{{listener.fd, POLLIN, 0}, {wake[0].fd, POLLIN, 0}};
            for (auto& [a, b] : pairs) {
                fds.push_back({a.fd, POLLIN, 0});
                fds.push_back({b.fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 200) < 0 && errno != EINTR) break;
            if (stopping) break;
            const std::size_t polled = pairs.size();   // a connection accepted below was not polled
            if (fds[0].revents & POLLIN) {
                Fd client(::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
                Fd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                struct sockaddr_in to {};
                to.sin_family = AF_INET;
                to.sin_port = htons(static_cast<std::uint16_t>(target));
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (client.fd >= 0 && server.fd >= 0 &&
                    ::connect(server.fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to) == 0)
                    pairs.emplace_back(std::move(client), std::move(server));
            }
            std::vector<std::size_t> closed;
            for (std::size_t i = 0; i < polled; ++i) {
                for (int side = 0; side < 2; ++side) {
                    if (!(fds[2 + 2 * i + side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                    const int from = side == 0 ? pairs[i].first.fd : pairs[i].second.fd;
                    const int to = side == 0 ? pairs[i].second.fd : pairs[i].first.fd;
                    char buf[65536];
                    const ssize_t n = ::read(from, buf, sizeof buf);
                    bool ok = n > 0;
                    for (ssize_t done = 0; ok && done < n;) {
                        const ssize_t w = ::write(to, buf + done, static_cast<std::size_t>(n - done));
                        if (w <= 0) ok = false;
                        else done += w;
                    }
                    if (!ok) {
                        closed.push_back(i);
                        break;
                    }
                }
            }
            for (auto it = closed.rbegin(); it != closed.rend(); ++it)
                pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(*it));
        }
        // Everything goes at once, as when the server stops.
        for (auto& [a, b] : pairs) {
            ::shutdown(a.fd, SHUT_RDWR);
            ::shutdown(b.fd, SHUT_RDWR);
        }
        pairs.clear();
        listener.reset();
    }
};

DbProxy::DbProxy(int targetPort) : impl_(std::make_unique<Impl>()) {
    impl_->target = targetPort;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) Fail("pipe2");
    impl_->wake[0].reset(p[0]);
    impl_->wake[1].reset(p[1]);
    impl_->listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in at {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    if (impl_->listener.fd < 0 || ::bind(impl_->listener.fd, reinterpret_cast<struct sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(impl_->listener.fd, 16) != 0 ||
        ::getsockname(impl_->listener.fd, reinterpret_cast<struct sockaddr*>(&at), &len) != 0)
        Fail("cannot listen on 127.0.0.1");
    port_ = ntohs(at.sin_port);
    impl_->relay = std::thread([this] { impl_->Run(); });
}

DbProxy::~DbProxy() {
    Stop();
    if (impl_->relay.joinable()) impl_->relay.join();
}

void DbProxy::Stop() {
    if (impl_->stopping.exchange(true)) return;
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(impl_->wake[1].fd, &byte, 1);
    if (impl_->relay.joinable() && impl_->relay.get_id() != std::this_thread::get_id()) impl_->relay.join();
}

// ---------------------------------------------------------------- the independent read

bool ImageContent::Holds(const std::string& folder, const std::string& studyUid) const {
    auto f = folders.find(folder);
    return f != folders.end() && f->second.count(studyUid) > 0;
}

ImageContent ReadImage(const fs::path& iso, const fs::path& scratch) {
    ImageContent content;
    const std::string pvd = Capture("xorriso -indev " + Quote(iso) + " -pvd_info 2>&1");
    for (std::stringstream lines(pvd); !lines.eof();) {
        std::string line;
        std::getline(lines, line);
        if (line.rfind("Volume Id", 0) == 0) content.volumeId = Trim(line.substr(line.find(':') + 1));
    }
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    Capture("xorriso -osirrox on -indev " + Quote(iso) + " -extract / " + Quote(scratch) +
            " >/dev/null 2>&1; chmod -R u+w " + Quote(scratch));
    for (const char* folder : {"1", "2"}) {
        auto& studies = content.folders[folder];
        if (!fs::is_directory(scratch / folder)) continue;
        const std::string dump =
            Capture("find " + Quote(scratch / folder) +
                    " -maxdepth 1 -type f -print0 | xargs -0 -r dcmdump -q +F +P 0020,000d +P 0008,0018 2>/dev/null");
        std::string study, sop;
        auto flush = [&] {
            if (!study.empty()) studies[study].insert(sop);
            study.clear();
            sop.clear();
        };
        for (std::stringstream lines(dump); !lines.eof();) {
            std::string line;
            std::getline(lines, line);
            if (line.rfind("# dcmdump", 0) == 0) flush();
            auto open = line.find('['), close = line.find(']');
            if (open == std::string::npos || close == std::string::npos) continue;
            const std::string value = line.substr(open + 1, close - open - 1);
            if (line.rfind("(0020,000d)", 0) == 0 && study.empty()) study = value;
            if (line.rfind("(0008,0018)", 0) == 0 && sop.empty()) sop = value;
        }
        flush();
    }
    fs::remove_all(scratch);
    return content;
}

// ---------------------------------------------------------------- invariants

std::string Checker::ImageKey(std::int32_t disc) const {
    const fs::path iso = s_.images() / ("DVD " + std::to_string(disc) + ".iso");
    std::error_code ec;
    return std::to_string(fs::file_size(iso, ec)) + "@" +
           std::to_string(fs::last_write_time(iso, ec).time_since_epoch().count());
}

const ImageContent& Checker::Image(std::int32_t disc) {
    const std::string key = ImageKey(disc);
    auto it = cache_.find(disc);
    if (it == cache_.end() || it->second.first != key) {
        const fs::path iso = s_.images() / ("DVD " + std::to_string(disc) + ".iso");
        it = cache_.insert_or_assign(disc, std::make_pair(key, ReadImage(iso, s_.root() / "check"))).first;
    }
    return it->second.second;
}

std::vector<std::string> Checker::Check(bool completedDisc, bool pendingRecords) {
    std::vector<std::string> v;

    // LastMediaNr: never empty, never back.
    const std::int32_t lastBefore = last_;
    const fs::path numberFile = s_.prog() / "LastMediaNr";
    if (fs::exists(numberFile)) {
        std::string text = Slurp(numberFile);
        const std::string first = text.substr(0, text.find('\n'));
        auto n = ParseNumber(first);
        if (Trim(first).empty()) {
            v.push_back("LastMediaNr is empty");
        } else if (!n) {
            v.push_back("LastMediaNr holds no number: \"" + first + "\"");
        } else {
            if (seen_ && *n < last_)
                v.push_back("LastMediaNr went back from " + std::to_string(last_) + " to " + std::to_string(*n));
            last_ = *n;
            seen_ = true;
        }
    } else if (seen_) {
        v.push_back("LastMediaNr disappeared");
    }
    if (completedDisc && fs::exists(s_.prog() / "LastMediaNr.tmp")) v.push_back("LastMediaNr.tmp left over");

    // Images: one per number, named and labelled alike, none beyond the next
    // number, and a recorded one never written again.
    std::set<std::int32_t> discs;
    std::map<std::string, std::int32_t> labels;
    for (const auto& e : fs::directory_iterator(s_.images())) {
        const std::string name = e.path().filename().string();
        if (name.find(".iso.unverified") != std::string::npos) continue;   // a failed disc, kept for inspection
        if (name.rfind(".", 0) == 0) {
            if (completedDisc) v.push_back("left over in the image folder: " + name);
            continue;
        }
        std::optional<std::vector<std::int32_t>> d;
        if (EndsWith(name, ".iso")) d = DiscsOf(name.substr(0, name.size() - 4));
        if (!d || d->size() != 1) {
            v.push_back("unexpected file in the image folder: " + name);
            continue;
        }
        const std::int32_t k = d->front();
        discs.insert(k);
        if (k > last_ + 1)
            v.push_back("image of disc " + std::to_string(k) + " beyond LastMediaNr " + std::to_string(last_));
        if (k == last_ + 1 && completedDisc) v.push_back("image of disc " + std::to_string(k) + " is not recorded");
        const ImageContent& img = Image(k);
        if (img.volumeId != "DVD " + std::to_string(k))
            v.push_back(name + " carries the volume label \"" + img.volumeId + "\"");
        if (auto [it, fresh] = labels.emplace(img.volumeId, k); !fresh)
            v.push_back("images of discs " + std::to_string(it->second) + " and " + std::to_string(k) +
                        " share the label \"" + img.volumeId + "\"");
        if (k <= last_) {
            const std::string key = ImageKey(k);
            if (auto [it, fresh] = recordedKeys_.emplace(k, key); !fresh && it->second != key) {
                v.push_back("the image of the recorded disc " + std::to_string(k) + " was written again");
                it->second = key;
            }
        }
    }
    for (std::int32_t k = 1; k <= last_; ++k)
        if (!discs.count(k)) v.push_back("disc " + std::to_string(k) + " has no image");

    // The carry-over set of a disc is what the disc before it holds.
    for (std::int32_t k : discs) {
        if (k < 2 || !discs.count(k - 1)) continue;
        const ImageContent& img = Image(k);
        auto one = img.folders.find("1");
        if (one == img.folders.end()) continue;
        const ImageContent& before = Image(k - 1);
        for (const auto& [uid, objects] : one->second)
            if (!before.Holds("1", uid) && !before.Holds("2", uid))
                v.push_back("disc " + std::to_string(k) + " carries study " + uid + " over, which disc " +
                            std::to_string(k - 1) + " does not hold");
    }

    // Once the number advanced, DVD/1/ may hold only files of the studies
    // on the last disc alone (the next disc's carry-over set, staged again
    // by a run that wrote no disc): a file of any other study would be
    // carried onto the next disc and recorded there.
    if (seen_ && last_ > lastBefore) {
        std::set<std::string> carried;
        {
            auto rows = s_.db().Open()->Query("SELECT StudyUID FROM tblStudies WHERE StudyDirectory2 = 'DVD " +
                                              std::to_string(last_) + "'");
            while (rows->Next()) carried.insert(rows->Field("StudyUID").value_or(""));
        }
        std::error_code ec;
        for (auto it = fs::directory_iterator(s_.staging() / "DVD/1", ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            if (it->is_directory()) continue;
            const std::string dump =
                Capture("dcmdump -q +P 0020,000d " + Quote(it->path()) + " 2>/dev/null");
            const auto open = dump.find('['), close = dump.find(']', open);
            const std::string uid = open == std::string::npos || close == std::string::npos
                                        ? ""
                                        : dump.substr(open + 1, close - open - 1);
            if (!carried.count(uid))
                v.push_back("left in DVD/1/ after disc " + std::to_string(last_) + " was recorded: " +
                            it->path().filename().string() + " (study " + (uid.empty() ? "unknown" : uid) +
                            ", not on that disc alone)");
        }
    }

    // What the database records against what the images hold.
    std::map<std::string, std::optional<std::string>> values;
    auto rows = s_.db().Open()->Query("SELECT StudyUID, StudyDirectory2 FROM tblStudies");
    while (rows->Next()) values[rows->Field("StudyUID").value_or("")] = rows->Field("StudyDirectory2");
    rows.reset();
    for (const auto& s : s_.archive().studies) {
        const std::string id = "study " + std::to_string(s.studyId);
        const auto found = values.find(s.studyUid);
        if (found == values.end()) {
            v.push_back(id + " is gone from tblStudies");
            continue;
        }
        const std::string value = found->second.value_or("");
        // A disc value stays, or gains the next disc.
        const auto before = values_.find(s.studyId);
        if (before != values_.end() && before->second != value && DiscsOf(before->second)) {
            const auto was = *DiscsOf(before->second);
            const auto now = DiscsOf(value);
            if (!(was.size() == 1 && now && now->size() == 2 && (*now)[0] == was[0] && (*now)[1] == was[0] + 1))
                v.push_back(id + " was \"" + before->second + "\" and is now \"" + value + "\"");
        }
        values_[s.studyId] = value;
        if (!s_.Arrived(s)) {
            if (value != kNotYetArrived) v.push_back(id + " has not arrived yet but holds \"" + value + "\"");
            continue;
        }
        if (value.empty()) continue;
        const std::set<std::string> objects = ReadableObjects(s);
        if (value == "not readable") {
            if (!objects.empty())
                v.push_back(id + " is marked \"not readable\" with " + std::to_string(objects.size()) +
                            " readable objects");
            continue;
        }
        auto named = DiscsOf(value);
        if (!named || (named->size() == 2 && (*named)[1] != (*named)[0] + 1)) {
            v.push_back(id + " holds \"" + value + "\"");
            continue;
        }
        if (named->size() == 1 && named->front() < last_ && !pendingRecords)
            v.push_back(id + " is on disc " + std::to_string(named->front()) + " alone, but disc " +
                        std::to_string(named->front() + 1) + " was recorded without it: it is never carried over");
        for (std::size_t i = 0; i < named->size(); ++i) {
            const std::int32_t k = (*named)[i];
            const std::string where = id + " (\"" + value + "\") on disc " + std::to_string(k);
            if (!discs.count(k)) {
                v.push_back(where + ": no such image");
                continue;
            }
            const ImageContent& img = Image(k);
            // "DVD k": the new set of k; "DVD a|DVD b": anywhere on a, the carry-over set of b.
            std::vector<std::string> folders;
            if (named->size() == 1) folders = {"2"};
            else if (i == 0) folders = {"1", "2"};
            else folders = {"1"};
            bool held = false;
            for (const auto& folder : folders) {
                if (!img.Holds(folder, s.studyUid)) continue;
                held = true;
                const auto& onDisc = img.folders.at(folder).at(s.studyUid);
                for (const auto& sop : objects)
                    if (!onDisc.count(sop)) v.push_back(where + " lacks object " + sop + " in " + folder + "/");
                break;
            }
            if (!held) v.push_back(where + ": not found by the independent read");
        }
    }

    // A recorded disc leaves nothing behind in the staging tree, nor in the
    // temporary folder.
    if (completedDisc) {
        for (const auto& e : fs::directory_iterator(s_.tmp())) {
            // A run killed the moment it created its DICOMDIR work folder
            // leaves it empty, indistinguishable for a minute from one being
            // set up; it holds nothing, and a later run removes it.
            std::error_code ec;
            if (e.is_directory() && fs::is_empty(e.path(), ec) &&
                e.path().filename().string().rfind("velunor-dicomdir-", 0) == 0)
                continue;
            v.push_back("left over in the temporary folder: " + e.path().filename().string());
        }
        for (const char* f : {"DVD", "DVD/1", "DVD/2", "DVDTemp", "Unzip"})
            for (const auto& e : fs::directory_iterator(s_.staging() / f))
                if (!e.is_directory())
                    v.push_back(std::string("left over in the staging tree: ") + f + "/" +
                                e.path().filename().string());
    }
    return v;
}

std::vector<std::string> Checker::CheckDrained() {
    std::vector<std::string> v;
    for (const auto& s : s_.archive().studies) {
        const int batch = s_.BatchOf(s);
        if (ReadableObjects(s).empty() || batch < 0 || batch >= s_.released()) continue;
        const std::string value = s_.db().StudyDirectory2(s.studyId).value_or("");
        auto named = DiscsOf(value);
        const bool two = named && named->size() == 2 && (*named)[1] == (*named)[0] + 1;
        const bool last = batch == s_.released() - 1;
        if (!two && !(last && named && named->size() == 1))
            v.push_back("study " + std::to_string(s.studyId) + " (batch " + std::to_string(batch + 1) +
                        ") is not on two consecutive discs: \"" + value + "\"");
    }
    return v;
}

// ---------------------------------------------------------------- the crash suite

Moment KillMoment(int index, std::mt19937_64& rng, const std::map<std::string, double>& phaseLength) {
    auto uniform = [&rng](std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, std::max(lo, hi))(rng);
    };
    auto within = [&](const std::string& phase) {
        auto it = phaseLength.find(phase);
        const double seconds = it == phaseLength.end() ? 0.05 : it->second;
        return std::chrono::microseconds(uniform(0, static_cast<std::int64_t>(seconds * 1e6)));
    };
    auto file = [&](const std::string& folder, const std::string& end, int maxOccurrence, std::int64_t maxDelayUs) {
        Moment m;
        m.folder = folder;
        m.nameEndsWith = end;
        m.occurrence = static_cast<int>(uniform(1, maxOccurrence));
        m.delay = std::chrono::microseconds(uniform(0, maxDelayUs));
        return m;
    };
    auto phase = [&](const std::string& name) {
        Moment m;
        m.phase = name;
        m.delay = within(name);
        return m;
    };
    switch (index % 16) {
    case 0: return phase("Gathering data");
    case 1: return file("DVDTemp", "", 8, 2000);            // a new study being staged
    case 2: return file("DVD/2", "", 8, 2000);              // moving into the new set
    case 3: return phase("Create dicomdir");
    case 4: return file("DVD", "", 2, 1000);                // the DICOMDIR appears
    case 5: return phase("Create DVD");
    case 6: return file("iso", ".part", 1, 20000);          // the image being written
    case 7: return file("iso", ".iso", 1, 2000);            // published, before verification
    case 8: return phase("Verify DVD");
    case 9: return phase("Update database");
    case 10: return file("prog", "LastMediaNr.tmp", 1, 300);   // the number being written
    case 11: return file("prog", "LastMediaNr", 1, 3000);      // stored, cleaning up
    case 12: return file("DVD/1", "", 8, 2000);             // the carry-over set
    case 13: return file("Unzip", "", 2, 1000);             // a ZIP study
    case 14: {                                               // writing a carry-over file
        Moment m = file("DVD/1", "", 1, 300);
        m.occurrence = 1 + 2 * static_cast<int>(uniform(0, 3));   // its temporary file appears
        return m;
    }
    default: {                                               // the staging tree being emptied
        Moment m = file("DVD/1", "", 6, 300);
        m.deletion = true;
        return m;
    }
    }
}

std::string CrashReport::Summary() const {
    std::ostringstream s;
    s << tried << " kill points tried, " << survived << " survived, " << missed << " missed (the run ended first); "
      << runs << " runs, " << discs << " discs";
    if (!triedPerPhase.empty()) {
        s << "; tried per moment:";
        for (const auto& [k, n] : triedPerPhase) s << " [" << k << "] " << n;
    }
    if (!leftovers.empty()) {
        s << "; left behind by kills:";
        for (const auto& [k, n] : leftovers) s << " [" << k << "] " << n;
    }
    return s.str();
}

namespace {

std::string PhaseOfMoment(const Moment& m) {
    if (!m.phase.empty()) return m.phase;
    if (m.folder == "DVD") return "DICOMDIR file";
    if (m.deletion) return "emptying " + m.folder;
    if (m.folder == "iso") return m.nameEndsWith == ".part" ? "image write" : "image published";
    if (m.folder == "prog") return m.nameEndsWith == "LastMediaNr.tmp" ? "LastMediaNr write" : "after LastMediaNr";
    return "staging " + m.folder;
}

// What a killed run left behind for the next one.
std::vector<std::string> Leftovers(const Scenario& s) {
    std::vector<std::string> out;
    auto has = [](const fs::path& folder, const std::function<bool(const std::string&)>& match) {
        std::error_code ec;
        for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            if (match(it->path().filename().string())) return true;
        return false;
    };
    if (has(s.images(), [](const std::string& n) { return EndsWith(n, ".iso.part"); })) out.push_back(".iso.part");
    if (fs::exists(s.prog() / "LastMediaNr.tmp")) out.push_back("LastMediaNr.tmp");
    if (has(s.tmp(), [](const std::string&) { return true; })) out.push_back("DICOMDIR work folder");
    if (has(s.staging() / "DVD/1", [](const std::string& n) { return n.rfind('.', 0) == 0; }))
        out.push_back("interrupted write in DVD/1");
    if (has(s.staging() / "DVD/1", [](const std::string& n) { return n.rfind('.', 0) != 0; }))
        out.push_back("files in DVD/1");
    if (has(s.staging() / "DVD", [](const std::string& n) { return n.rfind(".Dicomdir", 0) == 0; }))
        out.push_back("interrupted DICOMDIR write");
    return out;
}

std::string Tail(const std::string& text, std::size_t n = 1500) {
    return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

}  // namespace

std::map<std::string, double> PhaseLengths(const ChildResult& r) {
    std::map<std::string, double> out;
    const auto& phases = Phases();
    for (std::size_t i = 0; i < phases.size(); ++i) {
        auto it = r.phaseStart.find(phases[i]);
        if (it == r.phaseStart.end()) continue;
        double end = r.seconds;
        for (std::size_t j = i + 1; j < phases.size(); ++j)
            if (auto next = r.phaseStart.find(phases[j]); next != r.phaseStart.end()) {
                end = next->second;
                break;
            }
        out[phases[i]] = std::max(0.0, end - it->second);
    }
    return out;
}

bool Recorded(const ChildResult& r) { return r.LastLine().find("written and recorded") != std::string::npos; }

CrashReport RunCrashSuite(const CrashOptions& options) {
    CrashReport report;
    auto log = [&](const std::string& line) {
        if (options.log) options.log(line);
    };
    ScenarioOptions so = options.scenario;
    so.batches = std::max(so.batches, 2 * options.killPoints + 4);
    Scenario s(so);
    Checker checker(s);
    std::mt19937_64 rng(options.seed);
    // New studies arrive once every study that arrived is on a disc (or
    // marked): a run always has something to write.
    auto waiting = [&] {
        auto rows = s.db().Open()->Query(
            "SELECT count(*) AS n FROM tblStudies WHERE StudyDirectory2 IS NULL OR StudyDirectory2 = ''");
        return rows->Next() && rows->Field("n").value_or("0") != "0";
    };
    auto ensureWork = [&] {
        if (!waiting()) s.ReleaseNextBatch();
    };
    auto check = [&](const std::string& when, bool completed) {
        auto v = checker.Check(completed);
        for (const auto& x : v) report.failures.push_back(when + ": " + x);
        return v.empty();
    };
    auto cleanRun = [&](const std::string& when) {
        ensureWork();
        ChildResult r = RunCli(s, {});
        ++report.runs;
        const bool recorded = Recorded(r);
        if (recorded) ++report.discs;
        // 0 or 1 and a last line; anything else is a crash or a sanitizer's finding.
        if (r.signalled || (r.status != 0 && r.status != 1))
            report.failures.push_back(when + ": velunor-cli ended with " +
                                      (r.signalled ? std::string("a signal") : "status " + std::to_string(r.status)) +
                                      ": " + Tail(r.output));
        if (!check(when, recorded)) {
            report.failures.push_back(when + ": output: " + Tail(r.output) + "\nError.log: " +
                                      Tail(Slurp(s.logs() / "Error.log")));
        }
        return r;
    };

    // A first disc measures the phases.
    ChildResult first = cleanRun("first run");
    if (!Recorded(first)) {
        report.failures.push_back("the first run recorded no disc: " + Tail(first.output));
        return report;
    }
    std::map<std::string, double> lengths = PhaseLengths(first);

    for (int i = 0; i < options.killPoints; ++i) {
        // Delays within a phase follow the phase's latest measured length.
        const int kind = options.kinds.empty() ? i : options.kinds[static_cast<std::size_t>(i) % options.kinds.size()];
        const Moment m = KillMoment(kind, rng, lengths);
        const std::string label = "kill point " + std::to_string(i + 1) + " (" + m.Describe() + ")";
        ensureWork();
        ChildOptions co;
        co.actions.push_back({m, [](pid_t pid) { ::kill(pid, SIGKILL); }});
        ChildResult r = RunCli(s, co);
        ++report.runs;
        const bool delivered = !r.fired.empty() && r.signalled;
        if (delivered) {
            ++report.tried;
            ++report.triedPerPhase[PhaseOfMoment(m)];
            for (const auto& left : Leftovers(s)) ++report.leftovers[left];
        } else {
            ++report.missed;
            if (Recorded(r)) ++report.discs;
        }
        const std::size_t failuresBefore = report.failures.size();
        check(label + ", after the kill", !delivered && Recorded(r));

        // Runs again until a disc is recorded.
        bool recorded = false;
        for (int attempt = 1; attempt <= 3 && !recorded; ++attempt) {
            ChildResult again = cleanRun(label + ", run " + std::to_string(attempt) + " after it");
            recorded = Recorded(again);
            if (recorded) lengths = PhaseLengths(again);
            else log(label + ": run " + std::to_string(attempt) + " after it recorded no disc: " + again.LastLine());
        }
        if (!recorded)
            report.failures.push_back(label + ": three runs after it recorded no disc; Error.log: " +
                                      Tail(Slurp(s.logs() / "Error.log")));
        const bool ok = recorded && report.failures.size() == failuresBefore;
        if (delivered && ok) ++report.survived;
        log(label + (delivered ? (ok ? ": killed, survived" : ": killed, FAILED") : ": missed (the run ended first)"));
    }

    // Drain: every batch but the last arrives; once they are on a disc, the
    // last one arrives and its disc carries them over.
    while (s.released() < s.batches() - 1) s.ReleaseNextBatch();
    for (int round = 0; round < 2; ++round) {
        for (int attempt = 0; attempt < 3 && waiting(); ++attempt) {
            ChildResult r = RunCli(s, {});
            ++report.runs;
            if (Recorded(r)) ++report.discs;
            for (const auto& x : checker.Check(Recorded(r))) report.failures.push_back("drain: " + x);
        }
        if (waiting()) report.failures.push_back("drain: three runs left studies on no disc");
        if (round == 0) s.ReleaseNextBatch();
    }
    for (const auto& x : checker.CheckDrained()) report.failures.push_back("drain: " + x);
    log(report.Summary());
    return report;
}

}  // namespace velunor::reliability
