#include "tests/reliability/harness.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <numeric>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace velunor::reliability {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using test::Fd;
using test::RunProcess;

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

std::string Tail(const std::string& text) { return text.size() <= 1500 ? text : "..." + text.substr(text.size() - 1500); }

// The number a file like LastMediaNr holds (blanks and line ends around it).
std::optional<std::int32_t> Number(const std::string& text) {
    std::istringstream in(text);
    long long v = 0;
    std::string rest;
    if (!(in >> v) || (in >> rest) || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

// The discs a StudyDirectory2 value names: {k} for "DVD k", {a, a + 1} for
// "DVD a|DVD a+1"; nullopt for any other value.
std::optional<std::vector<std::int32_t>> DiscsOf(const std::string& value) {
    static const std::regex pattern("DVD ([1-9][0-9]{0,8})(\\|DVD ([1-9][0-9]{0,8}))?");
    std::smatch m;
    if (!std::regex_match(value, m, pattern)) return std::nullopt;
    if (!m[3].matched) return std::vector{std::stoi(m[1])};
    if (std::stoi(m[3]) != std::stoi(m[1]) + 1) return std::nullopt;
    return std::vector{std::stoi(m[1]), std::stoi(m[3])};
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    return files;
}

// The SOP Instance UIDs per Study Instance UID of the DICOM files in a folder.
std::map<std::string, std::set<std::string>> Studies(const fs::path& folder) {
    std::map<std::string, std::set<std::string>> studies;
    for (const auto& f : FilesIn(folder)) {
        DcmFileFormat file;
        OFString study, sop;
        if (file.loadFile(f.c_str()).good() && file.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, study).good() &&
            file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, sop).good())
            studies[study.c_str()].insert(sop.c_str());
    }
    return studies;
}

ImageContent ReadImage(const fs::path& iso, const fs::path& scratch) {
    ImageContent content;
    const std::string pvd = RunProcess({.argv = {"xorriso", "-indev", iso.string(), "-pvd_info"}}).output;
    if (std::smatch m; std::regex_search(pvd, m, std::regex("Volume Id *: *([^\r\n]*[^ \r\n])"))) content.volumeId = m[1];
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    RunProcess({.argv = {"xorriso", "-osirrox", "on", "-indev", iso.string(), "-extract", "/", scratch.string()}});
    RunProcess({.argv = {"chmod", "-R", "u+w", scratch.string()}});
    for (const char* folder : {"1", "2"}) content.folders[folder] = Studies(scratch / folder);
    fs::remove_all(scratch);
    return content;
}

}  // namespace

Scenario::Scenario(const ScenarioOptions& options) : options_(options) {
    db_ = std::make_unique<test::TestArchive>(options_.kind, root());
    for (const char* f : {"Unzip", "DVD/1", "DVD/2", "DVDTemp"}) fs::create_directories(staging() / f);
    for (const auto& f : {tmp(), prog(), images()}) fs::create_directories(f);
    fs::copy_file(VELUNOR_CLI_PATH, cli());
    WriteIni();
}

void Scenario::WriteIni(const std::string& extra, std::optional<int> authBurn) {
    test::WriteAll(prog() / "velunor.ini",
                   "[CONFIG]\nServerType=" + db_->serverType() + "\nServer=" + db_->server() +
                       "\nTempPath=" + staging().string() + "\nImageFolder=" + images().string() +
                       "\nMSGDVDName=Label it DVD {NAME}\nMSGDVDInsert=Insert a disc\nAuthBurn=" +
                       std::to_string(authBurn.value_or(options_.authBurn)) + "\nArchive=1\n" + extra);
}

bool Scenario::ReleaseNextBatch() {
    if (released_ >= options_.batches) return false;
    archive::Options o;
    o.seed = options_.seed * 1000 + static_cast<std::uint64_t>(released_);
    o.studies = options_.studiesPerBatch;
    o.filesPerStudy = options_.filesPerStudy;
    o.fileBytes = options_.fileBytes;
    o.zipPercent = options_.zipPercent;
    const std::vector<std::size_t> added = Arrive(o);
    std::mt19937_64 rng(o.seed);
    for (std::size_t k = 0; k < added.size(); ++k) {
        batchOf_[added[k]] = released_;
        // The first batch brings the studies with an unreadable file.
        if (released_ == 0 && static_cast<int>(k) < options_.unreadable) Corrupt(added[k], rng);
    }
    ++released_;
    return true;
}

int Scenario::BatchOf(const archive::Study& s) const {
    return batchOf_.at(static_cast<std::size_t>(&s - generated_.studies.data()));
}

int Scenario::Waiting() {
    auto rows = db_->Open()->Query(
        "SELECT count(*) AS n FROM tblStudies WHERE StudyDirectory2 IS NULL OR StudyDirectory2 = ''");
    return rows->Next() ? std::stoi(rows->Field("n").value_or("0")) : 0;
}

std::vector<std::size_t> Scenario::Arrive(archive::Options o) {
    o.out = root() / "arrivals" / std::to_string(++arrivals_);
    o.unreadable = o.carryOver = o.migrated = 0;
    archive::Archive a = archive::GenerateArchive(o);
    int nextArchive = 1, nextStudy = 1;
    for (const auto& r : generated_.roots) nextArchive = std::max(nextArchive, r.archiveId + 1);
    for (const auto& s : generated_.studies) nextStudy = std::max(nextStudy, s.studyId + 1);
    std::map<int, int> archiveIds;
    for (auto& r : a.roots) {
        archiveIds[r.archiveId] = nextArchive;
        r.archiveId = nextArchive++;
        db_->AddArchive(r.archiveId, r.unc, r.path);
        generated_.roots.push_back(r);
    }
    std::vector<std::size_t> added;
    for (auto& s : a.studies) {
        s.studyId = nextStudy++;
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
    s.readable = false;
    return true;
}

std::optional<std::int32_t> Scenario::LastMediaNr() const {
    if (!fs::exists(prog() / "LastMediaNr")) return std::nullopt;
    const std::string text = Slurp(prog() / "LastMediaNr");
    if (auto n = Number(text)) return n;
    throw std::runtime_error("LastMediaNr holds no number: \"" + text + "\"");
}

std::set<std::string> ReadableObjects(const archive::Study& s) {
    std::set<std::string> objects;
    for (const auto& f : s.files)
        if (f.kind == archive::File::Kind::Dicom || f.kind == archive::File::Kind::Zip) objects.insert(f.sopInstanceUid);
    return objects;
}

namespace {

// The first file event of each stretch of a run.
constexpr std::pair<const char*, const char*> kMilestones[] = {
    {"tmp", ""}, {"DVD/2", ""}, {"DVD", "Dicomdir"}, {"iso", ".part"}, {"iso", ".iso"}, {"prog", "LastMediaNr.tmp"}};

}  // namespace

std::string Moment::Describe() const {
    const std::string event = (deletion ? "deletion #" : "entry #") + std::to_string(occurrence) + " \"*" + nameEndsWith;
    return (folder.empty() ? "the start" : event + "\" in " + folder + "/") + " + " + std::to_string(delay.count()) + " us";
}

std::string ChildResult::LastLine() const {
    const std::string text = output.substr(0, output.find_last_not_of('\n') + 1);
    return text.substr(text.rfind('\n') + 1);
}

ChildResult RunCli(const Scenario& scenario, const ChildOptions& options) {
    test::Process p{.argv = {scenario.cli().string()}, .env = options.env};
    p.argv.insert(p.argv.end(), {"run", "--yes", "--notice-ms", "0"});
    p.env.emplace("TMPDIR", scenario.tmp().string());
    p.fileSizeLimit = options.fileSizeLimit;
    p.sampleFds = options.sampleResources;

    // Creations, renames and deletions in the folders a run writes.
    Fd notify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (notify.fd < 0) Fail("inotify_init1");
    std::map<int, std::string> watched;
    for (const char* f : {"DVD", "DVD/1", "DVD/2", "DVDTemp", "Unzip"})
        watched[::inotify_add_watch(notify.fd, (scenario.staging() / f).c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE)] = f;
    for (const auto& [key, path] : {std::pair{"prog", scenario.prog()}, {"iso", scenario.images()}, {"tmp", scenario.tmp()}})
        watched[::inotify_add_watch(notify.fd, path.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE)] = key;
    p.wakeFd = notify.fd;

    struct Pending { const Action* action; int seen; std::optional<Clock::time_point> due; bool done; };
    std::vector<Pending> pending;
    for (const auto& a : options.actions) pending.push_back({&a, 0, {}, false});
    ChildResult result;
    const auto start = Clock::now();
    const auto arm = [&](Pending& x) {
        if (!x.due) x.due = Clock::now() + x.action->at.delay;
    };
    for (auto& x : pending)
        if (x.action->at.folder.empty()) arm(x);
    const auto number = [&] { return Number(Slurp(scenario.prog() / "LastMediaNr")).value_or(0); };
    const std::int32_t before = number();

    p.onTick = [&](pid_t pid) {
        alignas(struct inotify_event) char buf[8192];
        for (ssize_t got; (got = ::read(notify.fd, buf, sizeof buf)) > 0;) {
            for (char* at = buf; at < buf + got;) {
                const auto* ev = reinterpret_cast<const struct inotify_event*>(at);
                at += sizeof(struct inotify_event) + ev->len;
                const auto w = watched.find(ev->wd);
                if (w == watched.end() || ev->len == 0) continue;
                const std::string name(ev->name);
                const bool deletion = (ev->mask & IN_DELETE) != 0;
                for (const auto& [folder, end] : kMilestones)
                    if (!deletion && w->second == folder && name.ends_with(end))
                        result.milestones.emplace(w->second + "/" + end,
                                                  std::chrono::duration<double>(Clock::now() - start).count());
                for (auto& x : pending) {
                    const Moment& m = x.action->at;
                    if (m.folder == w->second && name.ends_with(m.nameEndsWith) && m.deletion == deletion &&
                        ++x.seen == m.occurrence)
                        arm(x);
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
    static_cast<test::ProcessResult&>(result) = RunProcess(p);
    result.recorded = !result.signalled && number() > before;
    return result;
}

Moment KillMoment(int index, std::mt19937_64& rng, const std::map<std::string, double>& milestones) {
    const auto uniform = [&rng](std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, std::max(lo, hi))(rng);
    };
    // `odd`: every other entry (a write's temporary name, not its rename).
    const auto at = [&](const char* folder, const char* end, int maxOccurrence, std::int64_t maxDelayUs,
                        bool deletion = false, bool odd = false) {
        const int occurrence = odd ? 1 + 2 * static_cast<int>(uniform(0, maxOccurrence - 1)) : static_cast<int>(uniform(1, maxOccurrence));
        return Moment{folder, end, occurrence, deletion, std::chrono::microseconds(uniform(0, maxDelayUs))};
    };
    // Anywhere between two milestones, as far apart as they were last time.
    const auto within = [&](const char* folder, const char* end, const std::string& to) {
        const auto a = milestones.find(std::string(folder) + "/" + end), b = milestones.find(to);
        const double length = b == milestones.end() || (*folder && a == milestones.end())
                                  ? 0.05 : b->second - (*folder ? a->second : 0.0);
        return at(folder, end, 1, static_cast<std::int64_t>(std::max(0.0, length) * 1e6));
    };
    switch (index % kKillMoments) {
    case 0: return within("", "", "tmp/");                 // gathering
    case 1: return at("DVDTemp", "", 8, 2000);           // a new study being staged
    case 2: return at("DVD/2", "", 8, 2000);             // moving into the new set
    case 3: return at("Unzip", "", 2, 1000);             // a ZIP study
    case 4: return at("DVD/1", "", 8, 2000);             // the carry-over set
    case 5: return at("DVD/1", "", 4, 300, false, true); // writing a carry-over file
    case 6: return within("DVD/2", "", "DVD/Dicomdir");   // the new set's moves and the DICOMDIR
    case 7: return at("DVD", "", 2, 1000);               // the DICOMDIR appears
    case 8: return within("iso", ".part", "iso/.iso");    // the image being written
    case 9: return at("iso", ".iso", 1, 2000);           // published, before verification
    case 10: return within("iso", ".iso", "prog/LastMediaNr.tmp");   // verification, the update
    case 11: return at("prog", "LastMediaNr.tmp", 1, 300);   // the number being written
    case 12: return at("prog", "LastMediaNr", 1, 3000);      // and stored
    default: return at("DVD/1", "", 6, 300, true);       // the staging tree being emptied
    }
}

namespace {

// A TCP relay on 127.0.0.1 in front of the PostgreSQL test server: Stop()
// cuts its connections and refuses new ones, the database gone for one child.
class DbProxy {
public:
    explicit DbProxy(int targetPort) : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        struct sockaddr_in at {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof at;
        if (listener_.fd < 0 || ::bind(listener_.fd, reinterpret_cast<struct sockaddr*>(&at), sizeof at) != 0 ||
            ::listen(listener_.fd, 16) != 0 || ::getsockname(listener_.fd, reinterpret_cast<struct sockaddr*>(&at), &len) != 0)
            Fail("cannot listen on 127.0.0.1");
        port_ = ntohs(at.sin_port);
        at.sin_port = htons(static_cast<std::uint16_t>(targetPort));
        const std::lock_guard lock(mutex_);
        threads_.emplace_back([this, at] {
            for (;;) {
                auto client = std::make_shared<Fd>(::accept4(listener_.fd, nullptr, nullptr, SOCK_CLOEXEC));
                auto server = std::make_shared<Fd>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                const std::lock_guard lock(mutex_);
                if (stopping_ || client->fd < 0) return;
                if (::connect(server->fd, reinterpret_cast<const struct sockaddr*>(&at), sizeof at) != 0) continue;
                sockets_.insert(sockets_.end(), {client, server});
                threads_.emplace_back(Pump, client->fd, server->fd);
                threads_.emplace_back(Pump, server->fd, client->fd);
            }
        });
    }
    ~DbProxy() { Stop(); }
    DbProxy(const DbProxy&) = delete;
    DbProxy& operator=(const DbProxy&) = delete;
    int port() const { return port_; }

    void Stop() {
        std::vector<std::thread> threads;
        {
            const std::lock_guard lock(mutex_);
            if (std::exchange(stopping_, true)) return;
            ::shutdown(listener_.fd, SHUT_RDWR);   // accept returns
            for (const auto& s : sockets_) ::shutdown(s->fd, SHUT_RDWR);
            threads.swap(threads_);
        }
        for (auto& t : threads) t.join();
    }

private:
    // One direction of a connection until either side ends; then both end.
    // A peer that has gone must not raise SIGPIPE in the test process.
    static void Pump(int from, int to) {
        char buf[65536];
        for (ssize_t n, w = 0; (n = ::recv(from, buf, sizeof buf, 0)) > 0 && w >= 0;)
            for (ssize_t done = 0; done < n && w >= 0; done += w)
                w = ::send(to, buf + done, static_cast<std::size_t>(n - done), MSG_NOSIGNAL);
        ::shutdown(from, SHUT_RDWR);
        ::shutdown(to, SHUT_RDWR);
    }

    Fd listener_;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Fd>> sockets_;
    std::vector<std::thread> threads_;   // the one that accepts, two per connection
    bool stopping_ = false;
};

}  // namespace

const ImageContent& Checker::Image(std::int32_t disc) {
    const fs::path iso = s_.images() / ("DVD " + std::to_string(disc) + ".iso");
    std::error_code ec;
    const std::string key = std::to_string(fs::file_size(iso, ec)) + "@" +
                            std::to_string(fs::last_write_time(iso, ec).time_since_epoch().count());
    auto it = cache_.find(disc);
    if (it == cache_.end() || it->second.first != key)
        it = cache_.insert_or_assign(disc, std::make_pair(key, ReadImage(iso, s_.root() / "check"))).first;
    return it->second.second;
}

std::vector<std::string> Checker::Check(bool completedDisc, bool pendingRecords) {
    std::vector<std::string> v;
    const auto fail = [&v](const std::string& what) { v.push_back(what); };
    const auto disc = [](std::int32_t k) { return "disc " + std::to_string(k); };

    // LastMediaNr: a number that never goes back.
    try {
        const auto n = s_.LastMediaNr();
        if (!n && seen_) fail("LastMediaNr disappeared");
        if (n && *n < last_) fail("LastMediaNr went back from " + std::to_string(last_) + " to " + std::to_string(*n));
        seen_ = seen_ || n;
        last_ = n.value_or(last_);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    if (completedDisc && fs::exists(s_.prog() / "LastMediaNr.tmp")) fail("LastMediaNr.tmp left over");

    // Images: "DVD k.iso" labelled "DVD k", one for every number up to
    // LastMediaNr and at most the next one unrecorded; a recorded one is
    // never written again.
    std::set<std::int32_t> discs;
    for (const auto& e : fs::directory_iterator(s_.images())) {
        const std::string name = e.path().filename().string();
        if (name.find(".iso.unverified") != std::string::npos) continue;   // failed verification, kept
        if (name[0] == '.') {
            if (completedDisc) fail("left over in the image folder: " + name);
            continue;
        }
        const auto d = name.ends_with(".iso") ? DiscsOf(name.substr(0, name.size() - 4)) : std::nullopt;
        if (!d || d->size() != 1) {
            fail("unexpected file in the image folder: " + name);
            continue;
        }
        const std::int32_t k = d->front();
        discs.insert(k);
        if (Image(k).volumeId != "DVD " + std::to_string(k)) fail(name + " is labelled \"" + Image(k).volumeId + "\"");
        if (k > last_ + (completedDisc ? 0 : 1)) fail("the image of " + disc(k) + " is not recorded");
        if (k > last_) continue;
        const std::string& key = cache_.at(k).first;
        if (auto [it, fresh] = recordedKeys_.emplace(k, key); !fresh && it->second != key) {
            fail("the image of the recorded " + disc(k) + " was written again");
            it->second = key;
        }
    }
    for (std::int32_t k = 1; k <= last_; ++k)
        if (!discs.count(k)) fail(disc(k) + " has no image");

    // The carry-over set 1/ of image k is the new set 2/ of image k - 1,
    // never a study of an older disc, and a study lies on at most two
    // consecutive images.
    std::map<std::string, std::set<std::int32_t>> imagesOf;
    for (std::int32_t k : discs) {
        for (const auto& [folder, studies] : Image(k).folders)
            for (const auto& [uid, objects] : studies) imagesOf[uid].insert(k);
        if (!discs.count(k - 1)) continue;
        for (const auto& [uid, objects] : Image(k).folders.at("1"))
            if (!Image(k - 1).folders.at("2").count(uid))
                fail(disc(k) + " carries study " + uid + " over, which is not new on " + disc(k - 1));
    }
    for (const auto& [uid, ks] : imagesOf)
        if (ks.size() > 2 || *ks.rbegin() - *ks.begin() + 1 != static_cast<std::int32_t>(ks.size()))
            fail("study " + uid + " lies on discs " + std::to_string(*ks.begin()) + " to " +
                 std::to_string(*ks.rbegin()) + " (" + std::to_string(ks.size()) + " images)");

    // What the database records against what the images hold.
    std::map<std::string, std::string> values;
    {
        auto rows = s_.db().Open()->Query("SELECT StudyUID, StudyDirectory2 FROM tblStudies");
        while (rows->Next()) values[rows->Field("StudyUID").value_or("")] = rows->Field("StudyDirectory2").value_or("");
    }
    for (const auto& s : s_.archive().studies) {
        const std::string id = "study " + std::to_string(s.studyId);
        const auto found = values.find(s.studyUid);
        if (found == values.end()) {
            fail(id + " is gone from tblStudies");
            continue;
        }
        const std::string& value = found->second;
        const auto named = DiscsOf(value);
        // A disc value stays, or gains the next disc.
        if (auto before = values_.find(s.studyId); before != values_.end() && before->second != value) {
            const auto was = DiscsOf(before->second);
            if (was && !(was->size() == 1 && named && *named == std::vector{was->front(), was->front() + 1}))
                fail(id + " was \"" + before->second + "\" and is now \"" + value + "\"");
        }
        values_[s.studyId] = value;
        const std::set<std::string> objects = ReadableObjects(s);
        if (value.empty() || (value == "not readable" && objects.empty())) continue;
        if (!named) {
            fail(id + " holds \"" + value + "\"" + (objects.empty() ? "" : " with readable objects"));
            continue;
        }
        if (named->size() == 1 && named->front() < last_ && !pendingRecords)
            fail(id + " is on " + disc(named->front()) + " alone, but " + disc(named->front() + 1) +
                 " was recorded without it");
        // "DVD k": the new set of k; "DVD a|DVD b": the new set of a, the carry-over set of b.
        for (std::size_t i = 0; i < named->size(); ++i) {
            const std::int32_t k = (*named)[i];
            const std::string folder = i == 0 ? "2" : "1";
            const std::string where = id + " (\"" + value + "\") on " + disc(k);
            if (!discs.count(k) || !Image(k).folders.at(folder).count(s.studyUid)) {
                fail(where + ": not in " + folder + "/ by the independent read");
                continue;
            }
            const auto& onDisc = Image(k).folders.at(folder).at(s.studyUid);
            for (const auto& sop : objects)
                if (!onDisc.count(sop)) fail(where + " lacks object " + sop);
        }
    }

    // A recorded disc leaves nothing behind in the staging tree, nor in the
    // temporary folder but an empty DICOMDIR work folder (a run killed the
    // moment it made it; a later run removes it).
    for (const auto& e : fs::directory_iterator(s_.tmp()))
        if (completedDisc && !(e.is_directory() && fs::is_empty(e.path()) &&
                               e.path().filename().string().rfind("velunor-dicomdir-", 0) == 0))
            fail("left over in the temporary folder: " + e.path().filename().string());
    for (const char* f : {"DVD", "DVD/1", "DVD/2", "DVDTemp", "Unzip"})
        for (const auto& e : fs::directory_iterator(s_.staging() / f))
            if (completedDisc && !e.is_directory()) fail(std::string("left over in the staging tree: ") + f + "/" + e.path().filename().string());
    return v;
}

std::vector<std::string> Checker::CheckDrained() {
    std::vector<std::string> v;
    for (const auto& s : s_.archive().studies) {
        const int batch = s_.BatchOf(s);
        if (ReadableObjects(s).empty() || batch < 0 || batch >= s_.released()) continue;
        const std::string value = s_.db().StudyDirectory2(s.studyId).value_or("");
        const auto named = DiscsOf(value);
        if (!named || (named->size() == 1 && batch != s_.released() - 1))
            v.push_back("study " + std::to_string(s.studyId) + " (batch " + std::to_string(batch + 1) +
                        ") is not on two consecutive discs: \"" + value + "\"");
    }
    return v;
}

namespace {

struct Fault {
    const char* name;
    int status;           // the run's exit status when it struck; -1 killed
    const char* logged;   // a text Error.log must gain when it struck
};
constexpr Fault kFaults[] = {{"killed", -1, ""},
                             {"staging volume full", 1, "File too large"},
                             {"image folder full", 1, "File too large"},
                             {"database gone while staging", 1, ""},
                             {"database gone at the DICOMDIR", 1, ""},
                             {"database gone at the image write", 1, ""},
                             {"database gone at verification", 1, ""},
                             {"staged file overwritten", 1, "Verification failed"}};

// Prepares kFaults[f] for the next run; what it returns puts things right.
std::function<void()> Prepare(std::size_t f, Scenario& s, ChildOptions& o, const Moment& kill) {
    const auto at = [](const char* folder, const char* end) { return Moment{folder, end, 1, false, {}}; };
    switch (f) {
    case 0:
        o.actions.push_back({kill, [](pid_t pid) { ::kill(pid, SIGKILL); }});
        return {};
    case 1:   // no file larger than this can be written (EFBIG): a staged file, not the database or a log
        o.fileSizeLimit = 65536;
        for (const fs::path& p : {fs::path(s.db().server()), s.logs() / "Error.log", s.logs() / "FileLog.log"}) {
            std::error_code ec;
            if (const auto n = fs::file_size(p, ec); !ec) o.fileSizeLimit = std::max(*o.fileSizeLimit, n + 65536);
        }
        return {};
    case 2:   // every staged file fits, the image does not
        o.fileSizeLimit = 400000;
        return {};
    case 3: case 4: case 5: case 6: {
        // The SQLite file moved away (an open connection keeps working, a
        // new one fails), or the relay in front of PostgreSQL stopped.
        const Moment m = std::array{at("DVDTemp", ""), at("tmp", ""), at("iso", ".part"), at("iso", ".iso")}[f - 3];
        if (s.db().kind() == ArchiveKind::Sqlite) {
            const fs::path file = s.db().server(), away = file.string() + ".away";
            o.actions.push_back({m, [=](pid_t) { fs::rename(file, away); }});
            return [=] { if (fs::exists(away)) fs::rename(away, file); };
        }
        const char* port = std::getenv("PGPORT");
        auto proxy = std::make_shared<DbProxy>(port ? std::atoi(port) : 5432);
        o.env["PGPORT"] = std::to_string(proxy->port());
        o.actions.push_back({m, [proxy](pid_t) { proxy->Stop(); }});
        return {};
    }
    default:   // a staged file overwritten after the DICOMDIR, before the image write
        o.actions.push_back({at("DVD", "Dicomdir"), [dvd2 = s.staging() / "DVD/2"](pid_t) {
                                 // Its size kept: the image is built from what the
                                 // folder listed, and only the bytes differ.
                                 const auto files = FilesIn(dvd2);
                                 std::error_code ec;
                                 const auto size = files.empty() ? 0 : fs::file_size(files.back(), ec);
                                 if (!ec && size > 0)
                                     std::fstream(files.back(), std::ios::in | std::ios::out)
                                         << std::string(std::min<std::uintmax_t>(size, 4096), 'x');
                             }});
        return {};
    }
}

}  // namespace

int FaultKinds() { return static_cast<int>(std::size(kFaults)); }

std::string SuiteReport::Summary() const {
    std::ostringstream s;
    s << tried << " faults struck, " << survived << " survived, " << missed << " missed (the run ended first); "
      << runs << " runs, " << discs << " discs";
    return s.str() + (resources.empty() ? "" : "; " + resources);
}

SuiteReport RunSuite(const SuiteOptions& options) {
    SuiteReport report;
    const auto failure = [&](const std::string& what) { report.failures.push_back(what); };
    ScenarioOptions so = options.scenario;
    so.batches = std::max(so.batches, 2 * options.steps + 6);
    if (options.soak) so.fileBytes = 200000;   // above the staging volume's limit
    Scenario s(so);
    Checker checker(s);
    std::mt19937_64 rng(options.seed);
    std::map<std::string, double> milestones;
    std::vector<std::size_t> round;
    std::vector<long> rss;
    std::vector<int> fds;

    // After every run: its status (0 or 1 unless a fault says otherwise;
    // anything else is a crash or a sanitizer's finding) and the invariants.
    const auto checked = [&](const std::string& label, const ChildResult& r, bool plain, bool sample) {
        ++report.runs;
        if (r.recorded) {
            ++report.discs;
            for (const auto& [k, seconds] : r.milestones) milestones[k] = seconds;
            if (sample) rss.push_back(r.maxRssKb);
            if (sample) fds.push_back(r.maxFds);
        }
        if (plain && (r.signalled || (r.status != 0 && r.status != 1)))
            failure(label + ": velunor-cli ended with " + (r.signalled ? "a signal" : "status " + std::to_string(r.status)) +
                    ": " + Tail(r.output));
        for (const auto& x : checker.Check(r.recorded)) failure(label + ": " + x);
    };
    const auto plainRun = [&](const std::string& label, bool sample) {
        if (s.Waiting() == 0) s.ReleaseNextBatch();
        const ChildResult r = RunCli(s, {.sampleResources = options.soak});
        checked(label, r, true, sample);
        return r.recorded;
    };

    plainRun("the first run", true);
    for (int i = 0; i < options.steps; ++i) {
        if (s.Waiting() == 0) s.ReleaseNextBatch();
        std::size_t f = 0;
        if (options.soak) {
            if (round.empty()) {   // every fault once per round, in a seeded order
                round.resize(std::size(kFaults));
                std::iota(round.begin(), round.end(), 0);
                std::shuffle(round.begin(), round.end(), rng);
            }
            f = round.back();
            round.pop_back();
        }
        const int kind = !options.kinds.empty() ? options.kinds[static_cast<std::size_t>(i) % options.kinds.size()]
                         : options.soak         ? static_cast<int>(rng() % kKillMoments)
                                                : i;
        ChildOptions co{.sampleResources = options.soak};
        const std::function<void()> undo = Prepare(f, s, co, KillMoment(kind, rng, milestones));
        const std::size_t logged = Slurp(s.logs() / "Error.log").size();
        const ChildResult r = RunCli(s, co);
        if (undo) undo();
        const Fault& fault = kFaults[f];
        const bool struck = (co.actions.empty() || !r.fired.empty()) && (fault.status >= 0 || r.signalled);
        const std::string label =
            "step " + std::to_string(i + 1) + " (" + fault.name + (r.fired.empty() ? "" : " at " + r.fired[0]) + ")";
        const std::size_t failuresBefore = report.failures.size();
        report.missed += !struck;
        if (struck) {
            ++report.tried;
            if (fault.status >= 0 && r.status != fault.status)
                failure(label + ": velunor-cli ended with status " + std::to_string(r.status) + ": " + Tail(r.output));
            if (const std::string log = Slurp(s.logs() / "Error.log"); log.find(fault.logged, logged) == std::string::npos)
                failure(label + ": Error.log does not say \"" + fault.logged + "\": " + Tail(log));
        }
        checked(label, r, !struck, !struck && fault.status < 0);
        // Runs again until a disc is recorded.
        bool recorded = r.recorded;
        for (int attempt = 1; attempt <= 3 && !recorded; ++attempt)
            recorded = plainRun(label + ", run " + std::to_string(attempt) + " after it", true);
        if (!recorded) failure(label + ": three runs after it recorded no disc: " + Tail(Slurp(s.logs() / "Error.log")));
        const bool ok = recorded && report.failures.size() == failuresBefore;
        report.survived += struck && ok;
        if (options.log) options.log(label + (!struck ? ": missed (the run ended first)" : ok ? ": survived" : ": FAILED"));
    }

    // Drain: every batch but the last arrives; once they are on a disc, the
    // last one arrives and its disc carries them over.
    while (s.released() < so.batches - 1) s.ReleaseNextBatch();
    for (int pass = 0; pass < 2; ++pass) {
        for (int attempt = 0; attempt < 3 && s.Waiting() > 0; ++attempt) plainRun("drain", false);
        if (s.Waiting() > 0) failure("drain: three runs left studies on no disc");
        if (pass == 0) s.ReleaseNextBatch();
    }
    for (const auto& x : checker.CheckDrained()) failure("drain: " + x);

    // The soak: plain runs that recorded a disc (the discs are of a size)
    // peak at about the same memory and descriptors.
    if (options.soak && rss.size() < 4 && options.steps >= 10) failure("fewer than 4 runs recorded a disc");
    if (options.soak && rss.size() >= 4) {
        const auto [minRss, maxRss] = std::minmax_element(rss.begin(), rss.end());
        const auto [minFds, maxFds] = std::minmax_element(fds.begin(), fds.end());
        report.resources = "peak RSS " + std::to_string(*minRss) + ".." + std::to_string(*maxRss) + " KB, descriptors " +
                           std::to_string(*minFds) + ".." + std::to_string(*maxFds);
        if (!kUnderAddressSanitizer && *maxRss > *minRss * 3 / 2)
            failure("peak memory varies beyond 1.5x: " + report.resources);
        if (*maxFds > *minFds + 4) failure("open descriptors vary by more than 4: " + report.resources);
    }
    if (options.log) options.log(report.Summary());
    return report;
}

}  // namespace velunor::reliability
