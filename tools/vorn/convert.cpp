// `vorn convert`: documents out to GIF, PNG/APNG, WebP or OpenRaster, one
// file or many. Several files are shared out among worker processes, each
// file converted on its own, so that one broken input is reported and the
// others go on; a worker that dies takes only the file it was on with it.
// Windows has no fork: there the files are shared out among threads.
#ifndef _WIN32
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "convert.h"
#include "runtime/filekinds.h"

namespace vorn::tool {

namespace {

namespace fs = std::filesystem;

enum class Format { Gif, Png, Webp, Ora };

struct FormatName {
  const char *name;
  Format format;
};
constexpr FormatName kFormats[] = {
    {"gif", Format::Gif}, {"png", Format::Png}, {"apng", Format::Png},
    {"webp", Format::Webp}, {"ora", Format::Ora},
};

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::optional<Format> FormatNamed(const std::string &name) {
  for (const FormatName &f : kFormats)
    if (Lower(name) == f.name) return f.format;
  return std::nullopt;
}

std::optional<Format> FormatOfFile(const std::string &path) {
  const std::string extension = fs::path(path).extension().string();
  if (extension.size() < 2) return std::nullopt;
  return FormatNamed(extension.substr(1));
}

struct Job {
  std::string input, output;
};

struct Outcome {
  bool ok = false;
  bool reduced = false;  // colours were reduced (GIF of deep frames)
  int32_t frames = 0;
  std::string message;   // the failure, one line naming the file
};

struct Settings {
  Format format = Format::Png;
  int32_t quality = -1;
};

Outcome ConvertOne(const Job &job, const Settings &settings) {
  Outcome outcome;
  try {
    Document doc(job.input);
    outcome.frames = doc.Frames();
    Progress progress("writing " + job.output);  // drawn for a single file only
    switch (settings.format) {
      case Format::Gif: outcome.reduced = WriteGif(doc, job.output); break;
      case Format::Png: WriteApng(doc, job.output); break;
      case Format::Webp: WriteWebp(doc, job.output, settings.quality); break;
      case Format::Ora: WriteOra(doc, job.output); break;
    }
    outcome.ok = true;
  } catch (const std::bad_alloc &) {
    outcome.message = job.input + ": out of memory";
  } catch (const std::exception &error) {
    outcome.message = error.what();
  }
  // Every failure names a file: the one it was read from when the cause
  // does not already name the input or the output.
  if (!outcome.ok && outcome.message.rfind(job.input + ":", 0) != 0 &&
      outcome.message.rfind(job.output + ":", 0) != 0)
    outcome.message = job.input + ": " + outcome.message;
  return outcome;
}

// --- Choosing the files ------------------------------------------------------

// Every kind of file the table knows has a reader.
bool DocumentKind(const fs::path &file) {
  return FindFileKind(Lower(file.extension().string())) != nullptr;
}

// The documents of a folder (those whose extension names a kind the library
// reads), in name order, with their paths relative to the folder.
std::vector<fs::path> FolderDocuments(const fs::path &folder, bool recursive) {
  std::vector<fs::path> found;
  std::error_code error;
  auto visit = [&](const fs::directory_entry &entry) {
    std::error_code e;
    if (entry.is_regular_file(e) && DocumentKind(entry.path()))
      found.push_back(entry.path().lexically_relative(folder));
  };
  if (recursive) {
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error))
      visit(*it);
  } else {
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
      visit(*it);
  }
  if (error) throw Failure(folder.string() + ": " + error.message());
  std::sort(found.begin(), found.end());
  return found;
}

// Jobs for a folder output: each input's name with the format's extension,
// a folder's documents under their relative paths. Two inputs that would
// give the same name (walk.gif and walk.vrn) keep their own extensions in
// front of the new one (walk.gif.png, walk.vrn.png).
std::vector<Job> FolderJobs(const std::vector<std::string> &inputs, const fs::path &output,
                            const std::string &extension, bool recursive) {
  struct Entry {
    std::string input;
    fs::path relative;
  };
  std::vector<Entry> entries;
  for (const std::string &input : inputs) {
    std::error_code error;
    if (fs::is_directory(input, error)) {
      for (const fs::path &relative : FolderDocuments(input, recursive))
        entries.push_back({(fs::path(input) / relative).string(), relative});
    } else {
      entries.push_back({input, fs::path(input).filename()});
    }
  }
  std::map<fs::path, int> uses;
  auto target = [&](const fs::path &relative) {
    fs::path p = relative;
    return p.replace_extension(extension);
  };
  for (const Entry &e : entries) ++uses[target(e.relative)];
  std::vector<Job> jobs;
  for (const Entry &e : entries) {
    fs::path name = target(e.relative);
    if (uses[name] > 1) name = fs::path(e.relative.string() + extension);
    jobs.push_back({e.input, (output / name).string()});
  }
  return jobs;
}

// --- Workers ---------------------------------------------------------------------

#ifdef _WIN32

// Runs the jobs; outcomes[i] receives job i's. onDone is called for each as
// it finishes, in the order they finish, one call at a time. started is
// called once before the first job.
// Each thread takes the next job from a shared counter; documents on
// different threads do not share state.
void RunJobs(const std::vector<Job> &jobs, const Settings &settings, int32_t workers,
             std::vector<Outcome> &outcomes, const std::function<void()> &started,
             const std::function<void(size_t)> &onDone) {
  outcomes.assign(jobs.size(), Outcome{});
  started();
  std::atomic<size_t> next{0};
  std::mutex reporting;
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
      Outcome outcome = ConvertOne(jobs[i], settings);
      std::lock_guard<std::mutex> lock(reporting);
      outcomes[i] = std::move(outcome);
      onDone(i);
    }
  };
  std::vector<std::thread> threads;
  const size_t count = std::min<size_t>(static_cast<size_t>(std::max(workers, 1)), jobs.size());
  for (size_t w = 1; w < count; ++w) threads.emplace_back(work);
  work();
  for (std::thread &t : threads) t.join();
}

int32_t DefaultWorkers() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 0 ? static_cast<int32_t>(std::min(cores, 256u)) : 1;
}

#else

// A worker's report on its pipe: a record header, then the message bytes.
struct Record {
  int32_t kind;  // kStarted or kFinished
  int32_t job;
  int32_t ok, reduced, frames;
  uint32_t length;
};
constexpr int32_t kStarted = 0, kFinished = 1;

bool WriteAll(int fd, const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void Report(int fd, int32_t kind, int32_t job, const Outcome &outcome) {
  Record r{kind, job, outcome.ok, outcome.reduced, outcome.frames,
           static_cast<uint32_t>(outcome.message.size())};
  std::string bytes(reinterpret_cast<const char *>(&r), sizeof r);
  bytes += outcome.message;
  WriteAll(fd, bytes.data(), bytes.size());
}

struct Worker {
  pid_t pid = -1;
  int fd = -1;
  std::string buffer;
  int32_t current = -1;  // the job it started and has not finished
};

// Runs the jobs; outcomes[i] receives job i's. onDone is called for each as
// it finishes, in the order they finish.
// started is called once the workers run (no thread of the tool may run
// while they are forked).
void RunJobs(const std::vector<Job> &jobs, const Settings &settings, int32_t workers,
             std::vector<Outcome> &outcomes, const std::function<void()> &started,
             const std::function<void(size_t)> &onDone) {
  outcomes.assign(jobs.size(), Outcome{});
  if (workers <= 1 || jobs.size() <= 1) {
    started();
    for (size_t i = 0; i < jobs.size(); ++i) {
      outcomes[i] = ConvertOne(jobs[i], settings);
      onDone(i);
    }
    return;
  }
  // The next job to take: a counter in memory that every worker shares.
  void *shared = ::mmap(nullptr, sizeof(std::atomic<int64_t>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) throw Failure(std::string("cannot share work: ") + std::strerror(errno));
  auto *next = new (shared) std::atomic<int64_t>(0);
  std::fflush(nullptr);
  std::vector<Worker> pool;
  for (int32_t w = 0; w < workers && static_cast<size_t>(w) < jobs.size(); ++w) {
    int fds[2];
    if (::pipe(fds) != 0) break;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      for (const Worker &other : pool) ::close(other.fd);
      for (int64_t i; (i = next->fetch_add(1)) < static_cast<int64_t>(jobs.size());) {
        Report(fds[1], kStarted, static_cast<int32_t>(i), Outcome{});
        Report(fds[1], kFinished, static_cast<int32_t>(i),
               ConvertOne(jobs[static_cast<size_t>(i)], settings));
      }
      ::close(fds[1]);
      std::fflush(nullptr);
      ::_exit(0);
    }
    ::close(fds[1]);
    if (pid < 0) {
      ::close(fds[0]);
      break;
    }
    pool.push_back({pid, fds[0], {}, -1});
  }
  if (pool.empty()) {
    ::munmap(shared, sizeof(std::atomic<int64_t>));
    throw Failure(std::string("cannot start a worker process: ") + std::strerror(errno));
  }

  started();
  size_t open = pool.size();
  while (open > 0) {
    std::vector<pollfd> polls;
    for (const Worker &w : pool)
      if (w.fd >= 0) polls.push_back({w.fd, POLLIN, 0});
    if (::poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (const pollfd &p : polls) {
      if (!p.revents) continue;
      Worker &w = *std::find_if(pool.begin(), pool.end(), [&](const Worker &x) { return x.fd == p.fd; });
      char chunk[4096];
      const ssize_t n = ::read(w.fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(w.fd);
        w.fd = -1;
        --open;
        continue;
      }
      w.buffer.append(chunk, static_cast<size_t>(n));
      while (w.buffer.size() >= sizeof(Record)) {
        Record r;
        std::memcpy(&r, w.buffer.data(), sizeof r);
        if (w.buffer.size() < sizeof r + r.length) break;
        if (r.job < 0 || static_cast<size_t>(r.job) >= jobs.size()) {
          w.buffer.clear();
          break;
        }
        if (r.kind == kStarted) {
          w.current = r.job;
        } else {
          Outcome &o = outcomes[static_cast<size_t>(r.job)];
          o.ok = r.ok != 0;
          o.reduced = r.reduced != 0;
          o.frames = r.frames;
          o.message.assign(w.buffer, sizeof r, r.length);
          w.current = -1;
          onDone(static_cast<size_t>(r.job));
        }
        w.buffer.erase(0, sizeof r + r.length);
      }
    }
  }
  for (Worker &w : pool) {
    int status = 0;
    while (::waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (w.current >= 0) {
      // The worker died on this file.
      Outcome &o = outcomes[static_cast<size_t>(w.current)];
      o.ok = false;
      o.message = jobs[static_cast<size_t>(w.current)].input + ": the conversion stopped (" +
                  (WIFSIGNALED(status) ? std::string(strsignal(WTERMSIG(status)))
                                       : "exit status " + std::to_string(WEXITSTATUS(status))) +
                  ")";
      onDone(static_cast<size_t>(w.current));
    }
  }
  ::munmap(shared, sizeof(std::atomic<int64_t>));
}

int32_t DefaultWorkers() {
  const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
  return cores > 0 ? static_cast<int32_t>(std::min<long>(cores, 256)) : 1;
}

#endif  // _WIN32

constexpr char kReducedNote[] =
    "vorn: note: GIF keeps at most 256 colours a frame: frames of more than 8 bits were "
    "reduced to that, which is lossy (.png or .webp keep every colour)\n";

}  // namespace

int ConvertCommand(const std::vector<std::string> &arguments) {
  // -j4 is -j 4.
  std::vector<std::string> expanded;
  for (const std::string &a : arguments) {
    if (a.size() > 2 && a.rfind("-j", 0) == 0 && a[2] != '=') {
      expanded.push_back("-j");
      expanded.push_back(a.substr(2));
    } else {
      expanded.push_back(a);
    }
  }
  const Arguments args =
      Split("convert", expanded, {"--to", "--quality", "-j", "--jobs"}, {"--recursive", "-r"});
  std::optional<Format> to;
  std::string toName;
  Settings settings;
  bool recursive = false;
  int32_t workers = DefaultWorkers();
  for (const auto &[name, value] : args.options) {
    if (name == "--to") {
      to = FormatNamed(value);
      toName = Lower(value);
      if (!to) throw UsageError("convert: --to is one of gif, png, apng, webp, ora, not \"" + value + "\"");
    } else if (name == "--quality") {
      settings.quality = ParseCount(name, value, 0);
      if (settings.quality > 100) throw UsageError("convert: --quality is at most 100");
    } else if (name == "-j" || name == "--jobs") {
      workers = std::min(ParseCount(name, value, 1), 256);
    } else {
      recursive = true;
    }
  }
  if (args.positional.size() < 2) throw UsageError("convert: needs an input and an output");
  const std::vector<std::string> inputs(args.positional.begin(), args.positional.end() - 1);
  const std::string &output = args.positional.back();

  std::error_code error;
  bool batch = inputs.size() > 1 || fs::is_directory(output, error);
  for (const std::string &input : inputs) batch = batch || fs::is_directory(input, error);

  if (!batch) {
    const std::optional<Format> format = to ? to : FormatOfFile(output);
    if (!format)
      throw UsageError("convert: " + output +
                       ": the extension names no format (.gif, .png, .apng, .webp, .ora); or "
                       "give --to");
    settings.format = *format;
    if (settings.quality >= 0 && settings.format != Format::Webp)
      throw UsageError("convert: --quality is for WebP output");
    const Outcome outcome = ConvertOne({inputs[0], output}, settings);
    if (!outcome.ok) throw Failure(outcome.message);
    if (outcome.reduced) std::fputs(kReducedNote, stderr);
    std::printf("%s: wrote %s (%d frame%s)\n", inputs[0].c_str(), output.c_str(), outcome.frames,
                outcome.frames == 1 ? "" : "s");
    return 0;
  }

  if (!to) {
    if (FormatOfFile(output) && !fs::is_directory(output, error))
      throw UsageError("convert: several inputs convert into a folder; give one as OUTPUT, "
                       "with --to FORMAT");
    throw UsageError("convert: --to FORMAT is needed when OUTPUT is a folder");
  }
  settings.format = *to;
  if (settings.quality >= 0 && settings.format != Format::Webp)
    throw UsageError("convert: --quality is for WebP output");
  fs::create_directories(output, error);
  if (error || !fs::is_directory(output))
    throw Failure(output + ": " + (error ? error.message() : "not a folder"));
  const std::vector<Job> jobs = FolderJobs(inputs, output, "." + toName, recursive);
  for (const Job &job : jobs) fs::create_directories(fs::path(job.output).parent_path(), error);

  std::vector<Outcome> outcomes;
  size_t done = 0, failed = 0;
  bool reduced = false;
  {
    // Workers are started before the bar's thread, and draw no bars of
    // their own.
    Progress::Silence();
    std::optional<Progress> progress;
    auto startBar = [&] {
      progress.emplace("converting", static_cast<int64_t>(jobs.size()), true);
      progress->Set(static_cast<int64_t>(done));
    };
    RunJobs(jobs, settings, workers, outcomes, startBar, [&](size_t i) {
      const Outcome &o = outcomes[i];
      ++done;
      if (!o.ok) {
        ++failed;
        // The bar's line is cleared first, and drawn again below.
        progress.reset();
        std::fprintf(stderr, "vorn: %s\n", o.message.c_str());
        startBar();
      }
      reduced = reduced || o.reduced;
      progress->Set(static_cast<int64_t>(done));
    });
  }
  if (reduced) std::fputs(kReducedNote, stderr);
  const size_t converted = jobs.size() - failed;
  std::printf("converted %zu file%s into %s\n", converted, converted == 1 ? "" : "s",
              output.c_str());
  if (failed) {
    std::fprintf(stderr, "vorn: %zu of %zu file%s could not be converted\n", failed, jobs.size(),
                 jobs.size() == 1 ? "" : "s");
    return 1;
  }
  return 0;
}

}  // namespace vorn::tool
