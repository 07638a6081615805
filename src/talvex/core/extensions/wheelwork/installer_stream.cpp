// Running the installer with its output passed on line by line as it arrives, and
// with a cancel that ends the installer's whole process tree while it has not yet
// begun to change the environment.  The calling thread waits on a queue fed by one
// reader thread per pipe, so the interpreter runs other threads meanwhile.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "common.hpp"

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

namespace wheelwork {

namespace {

constexpr double kPollSeconds = 0.1;         // cancel and time-out checks
constexpr double kProgressSeconds = 0.1;     // at most ten progress states a second
constexpr double kSettleSeconds = 0.05;      // quiet that ends the drain before a kill
constexpr double kReaderJoinSeconds = 2.0;   // readers left behind by a stray grandchild
constexpr Py_ssize_t kReadSize = 65536;

constexpr const char *kCancelledMessage =
    "Cancelled: the installer was stopped before it began to change the Python environment; "
    "nothing was changed.";

// Lines after which the installer changes the environment: pip's
// "Installing collected packages: ..." and uv's "Prepared N packages in ...", then
// its "Uninstalled ..." and "Installed ..." (for a run where nothing needed
// preparing).
constexpr std::array<std::string_view, 4> kChangePhaseMarkers = {
    "Installing collected packages", "Prepared ", "Uninstalled ", "Installed "};

bool marks_change_phase(std::string_view line) {
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    for (std::string_view marker : kChangePhaseMarkers)
        if (line.starts_with(marker))
            return true;
    return false;
}

bool mentions_change_phase(std::string_view text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        if (marks_change_phase(text.substr(start, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

// An uninstall changes the environment from its first step: there is no download
// phase to stop.
bool is_uninstall(nb::handle cmd) {
    Py_ssize_t n = nb::len(cmd);
    for (Py_ssize_t i = 0; i + 1 < n && i < 4; ++i)
        if (nb::borrow(cmd)[i].equal(nb::str("pip")))
            return nb::borrow(cmd)[i + 1].equal(nb::str("uninstall"));
    return false;
}

// "20.0 MB": decimal units with one decimal, as pip writes sizes.
std::string human_size(double bytes) {
    const char *units[] = {"bytes", "kB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000.0 && unit < 4) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[48];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f bytes", bytes);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

// pip's progress for programs, "Progress 123 of 456", as a person reads it.
bool raw_progress(std::string_view line, std::string_view file, std::string &human) {
    unsigned long long done = 0, total = 0;
    std::string text(line);
    int used = 0;
    if (std::sscanf(text.c_str(), "Progress %llu of %llu%n", &done, &total, &used) != 2 ||
        static_cast<size_t>(used) != text.size())
        return false;
    std::string name = file.empty() ? std::string("download") : std::string(file);
    if (total == 0) {
        human = "Downloading " + name + ": " + human_size(static_cast<double>(done));
    } else {
        unsigned long long percent = done >= total ? 100 : done * 100 / total;
        human = "Downloading " + name + ": " + std::to_string(percent) + "% of " +
                human_size(static_cast<double>(total));
    }
    return true;
}

// The file named by pip's "Downloading <url or file> (size)" line.
std::string downloaded_file(std::string_view line) {
    while (!line.empty() && line.front() == ' ')
        line.remove_prefix(1);
    if (!line.starts_with("Downloading "))
        return {};
    line.remove_prefix(12);
    line = line.substr(0, line.find(' '));
    size_t slash = line.find_last_of('/');
    if (slash != std::string_view::npos)
        line.remove_prefix(slash + 1);
    return std::string(line.substr(0, line.find_first_of("#?")));
}

// The process tree of one installer run: its own process group on POSIX, a job
// object on Windows (which also holds the build processes the installer starts).
class ProcessTree {
public:
    explicit ProcessTree(const Call &c) : c_(c) {
#ifdef _WIN32
        job_ = CreateJobObjectW(nullptr, nullptr);
#endif
    }
    ~ProcessTree() {
#ifdef _WIN32
        if (job_ != nullptr)
            CloseHandle(job_);
#endif
    }
    ProcessTree(const ProcessTree &) = delete;
    ProcessTree &operator=(const ProcessTree &) = delete;

    void adopt(nb::handle proc) {
        proc_ = nb::borrow(proc);
#ifdef _WIN32
        unsigned long pid = nb::cast<unsigned long>(proc.attr("pid"));
        HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, pid);
        if (process != nullptr) {
            if (job_ != nullptr && AssignProcessToJobObject(job_, process))
                in_job_ = true;
            CloseHandle(process);
        }
        if (!in_job_)
            tvx::log(c_, "debug", "installer %s runs outside a job object", proc.attr("pid"));
#endif
    }

    // Stops (true) or resumes (false) the whole tree; only POSIX can.
    bool pause(bool stop) {
#ifdef _WIN32
        (void)stop;
        return false;
#else
        return signal_group(stop ? "SIGSTOP" : "SIGCONT");
#endif
    }

    void kill() {
        if (!proc_.is_valid())
            return;
#ifdef _WIN32
        if (in_job_)
            TerminateJobObject(job_, 130);
#else
        signal_group("SIGKILL");
#endif
        tvx::except_exception([&] { proc_.attr("kill")(); }, [] {});
    }

private:
#ifndef _WIN32
    bool signal_group(const char *name) {
        return tvx::except_exception(
            [&] {
                nb::object os = c_.g("os");
                os.attr("killpg")(proc_.attr("pid"), nb::module_::import_("signal").attr(name));
                return true;
            },
            [] { return false; });
    }
#endif

    const Call &c_;
    nb::object proc_;
#ifdef _WIN32
    HANDLE job_ = nullptr;
    bool in_job_ = false;
#endif
};

// One pipe's text on its way to on_output: the bytes of the line being written,
// and the latest progress state (a carriage-return rewrite or pip's raw progress)
// not yet passed on.
struct StreamLines {
    std::string whole;     // everything the pipe delivered, for the result
    std::string partial;   // the unfinished line
    std::string progress;  // latest progress state
    bool progress_shown = true;
    bool open = true;
};

class OutputRelay {
public:
    OutputRelay(const Call &c, nb::handle on_output) : c_(c), on_output_(on_output) {}

    bool change_phase() const { return change_phase_; }

    void feed(StreamLines &s, std::string_view data) {
        s.whole.append(data);
        s.partial.append(data);
        size_t newline;
        while ((newline = s.partial.find('\n')) != std::string::npos) {
            std::string line = s.partial.substr(0, newline);
            s.partial.erase(0, newline + 1);
            finish_line(s, line);
        }
        // A carriage return without its line feed: the text before it is the
        // latest state of a line being rewritten.
        size_t last_cr = s.partial.rfind('\r');
        if (last_cr != std::string::npos) {
            std::string_view head(s.partial.data(), last_cr);
            std::string state(latest_segment(head));
            if (!state.empty())
                set_progress(s, state);
            s.partial.erase(0, last_cr);
        }
    }

    void close(StreamLines &s) {
        if (!s.partial.empty()) {
            std::string rest;
            rest.swap(s.partial);
            finish_line(s, rest);
        }
        flush_progress(s);
        s.open = false;
    }

    // Passes on progress states that waited out the rate limit.
    void tick(std::array<StreamLines, 2> &streams) {
        if (monotonic() - last_progress_ < kProgressSeconds)
            return;
        for (StreamLines &s : streams)
            if (!s.progress_shown) {
                s.progress_shown = true;
                last_progress_ = monotonic();
                emit(s.progress);
            }
    }

    bool pending_mentions_change(const std::array<StreamLines, 2> &streams) const {
        for (const StreamLines &s : streams)
            if (mentions_change_phase(s.partial))
                return true;
        return false;
    }

private:
    static std::string_view latest_segment(std::string_view text) {
        while (!text.empty()) {
            size_t cr = text.rfind('\r');
            std::string_view tail = cr == std::string_view::npos ? text : text.substr(cr + 1);
            if (!tail.empty())
                return tail;
            text = text.substr(0, cr);
        }
        return text;
    }

    double monotonic() const { return nb::cast<double>(c_.g("time").attr("monotonic")()); }

    void finish_line(StreamLines &s, std::string_view raw) {
        std::string line(latest_segment(raw));
        if (marks_change_phase(line))
            change_phase_ = true;
        std::string human;
        if (raw_progress(line, file_, human)) {
            set_progress(s, human);
            return;
        }
        std::string file = downloaded_file(line);
        if (!file.empty())
            file_ = file;
        if (line.empty() || line == s.progress) {
            flush_progress(s);
        } else {
            flush_progress(s);
            emit(line);
        }
        s.progress.clear();
        s.progress_shown = true;
    }

    void set_progress(StreamLines &s, const std::string &state) {
        if (state == s.progress)
            return;
        s.progress = state;
        s.progress_shown = false;
    }

    void flush_progress(StreamLines &s) {
        if (s.progress_shown)
            return;
        s.progress_shown = true;
        last_progress_ = monotonic();
        emit(s.progress);
    }

    void emit(std::string_view raw) {
        if (on_output_.is_none())
            return;
        nb::object text = c_.call("sanitize_cli_text",
                                  c_.call("_decode_cli_bytes", nb::bytes(raw.data(), raw.size())));
        if (!tvx::truthy(text))
            return;
        tvx::except_exception([&] { on_output_(text); },
                              [&](const nb::python_error &e) {
                                  tvx::log_exc(c_, e, "debug", "Output callback failed for %r",
                                               text);
                              });
    }

    const Call &c_;
    nb::handle on_output_;
    std::string file_;
    bool change_phase_ = false;
    double last_progress_ = -1e9;
};

// Whether pip's "--progress-bar raw" (pip 24.1 and later) can be asked for: the
// command runs this interpreter's own pip.
bool pip_reports_raw_progress(const Call &c, nb::handle cmd) {
    if (nb::len(cmd) < 4 || !nb::borrow(cmd)[0].equal(tvx::to_str(c.g("sys").attr("executable"))) ||
        !nb::borrow(cmd)[1].equal(nb::str("-m")) || !nb::borrow(cmd)[2].equal(nb::str("pip")) ||
        !nb::borrow(cmd)[3].equal(nb::str("install")))
        return false;
    return tvx::except_exception(
        [&] {
            nb::object version = nb::module_::import_("importlib.metadata").attr("version")("pip");
            nb::object parts = version.attr("split")(".", 2);
            auto number = [&](Py_ssize_t i) {
                if (i >= static_cast<Py_ssize_t>(nb::len(parts)))
                    return 0L;
                nb::object value = nb::steal(PyLong_FromUnicodeObject(parts[i].ptr(), 10));
                if (!value.is_valid())
                    throw nb::python_error();
                return PyLong_AsLong(value.ptr());
            };
            long major = number(0), minor = number(1);
            return major > 24 || (major == 24 && minor >= 1);
        },
        [] { return false; });
}

nb::object cleaned_bytes(const Call &c, const std::string &data) {
    return c.call("sanitize_cli_text",
                  c.call("_decode_cli_bytes", nb::bytes(data.data(), data.size())));
}

// A reader thread's body: chunks of one pipe into the queue as (index, bytes), an
// empty chunk at its end.
nb::object pipe_reader(nb::handle pipe, nb::handle queue, int index) {
    nb::object source = nb::borrow(pipe), sink = nb::borrow(queue);
    return nb::cpp_function([source, sink, index]() {
        try {
            for (;;) {
                nb::object data = source.attr("read")(kReadSize);
                if (data.is_none())
                    continue;
                sink.attr("put")(nb::make_tuple(index, data));
                if (!tvx::truthy(data))
                    return;
            }
        } catch (nb::python_error &) {
            // a pipe closed under the reader: its end below
        }
        try {
            sink.attr("put")(nb::make_tuple(index, nb::bytes("", 0)));
        } catch (nb::python_error &) {
            // nothing waits for it any more
        }
    });
}

// Leaves the run's private temporary directory behind on no path out.
class TempDir {
public:
    TempDir()
        : path_(nb::module_::import_("tempfile").attr("mkdtemp")("prefix"_a = "talvex-installer-")) {}
    ~TempDir() {
        try {
            nb::module_::import_("shutil").attr("rmtree")(path_, "ignore_errors"_a = true);
        } catch (nb::python_error &) {
            // best effort: a directory that cannot be removed stays
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const nb::object &path() const { return path_; }

private:
    nb::object path_;
};

}  // namespace

bool cancel_requested(const Call &c, nb::handle cancel) {
    if (cancel.is_none())
        return false;
    return tvx::except_exception(
        [&] { return tvx::truthy(cancel.attr("is_set")()); },
        [&](const nb::python_error &e) {
            tvx::log_exc(c, e, "debug", "cancel.is_set() failed; taken as not set");
            return false;
        });
}

nb::dict stream_keywords(nb::handle on_output, nb::handle cancel) {
    nb::dict keywords;
    if (!on_output.is_none())
        keywords["on_output"] = on_output;
    if (!cancel.is_none())
        keywords["cancel"] = cancel;
    return keywords;
}

bool was_cancelled(const Call &c, nb::handle result, nb::handle cancel) {
    return !cancel.is_none() && result.attr("returncode").equal(nb::int_(130)) &&
           !tvx::truthy(result.attr("ok")) && cancel_requested(c, cancel);
}

nb::object run_streaming(const Call &c, nb::tuple cmd, nb::dict env, nb::handle timeout,
                         const char *spec, nb::handle on_output, nb::handle cancel) {
    if (!on_output.is_none() && pip_reports_raw_progress(c, cmd)) {
        nb::list parts(cmd);
        parts.attr("insert")(4, "--progress-bar");
        parts.attr("insert")(5, "raw");
        cmd = nb::tuple(parts);
    }
    if (cancel_requested(c, cancel))
        return pip_result(c, false, cmd, 130, nb::str(""), nb::str(kCancelledMessage));

    tvx::log(c, "info", "extension pip: %s", nb::str(" ").attr("join")(cmd));
    TempDir temp;
    for (const char *name : {"TMPDIR", "TEMP", "TMP"})
        env[name] = temp.path();

    nb::object subprocess = c.g("subprocess");
    nb::object proc;
    try {
        nb::object popen = subprocess.attr("Popen");
        nb::dict kwargs;
        kwargs["stdin"] = subprocess.attr("DEVNULL");
        kwargs["stdout"] = subprocess.attr("PIPE");
        kwargs["stderr"] = subprocess.attr("PIPE");
        kwargs["bufsize"] = 0;
        kwargs["env"] = env;
        if (!c.g("sys").attr("platform").equal(nb::str("win32")))
            kwargs["start_new_session"] = true;
        nb::object extra = c.call("_subprocess_kwargs");
        for (nb::handle key : extra.attr("keys")())
            kwargs[key] = extra[key];
        proc = popen(nb::list(cmd), **kwargs);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        tvx::Handling handling(e);
        return start_failure_result(c, cmd, e.value());
    }

    ProcessTree tree(c);
    tree.adopt(proc);
    nb::object queue = nb::module_::import_("queue");
    nb::object chunks = queue.attr("SimpleQueue")();
    nb::object empty = queue.attr("Empty");
    nb::object threading = nb::module_::import_("threading");
    nb::object readers[2];
    const char *pipes[2] = {"stdout", "stderr"};
    for (int i = 0; i < 2; ++i) {
        readers[i] = threading.attr("Thread")(
            "target"_a = pipe_reader(proc.attr(pipes[i]), chunks, i),
            "name"_a = nb::str("talvex-installer-{}").format(pipes[i]), "daemon"_a = true);
        readers[i].attr("start")();
    }

    std::array<StreamLines, 2> streams;
    OutputRelay relay(c, on_output);
    nb::object clock = c.g("time").attr("monotonic");
    double seconds = timeout.is_none() ? 1e9 : PyFloat_AsDouble(timeout.ptr());
    if (seconds == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    double deadline = nb::cast<double>(clock()) + seconds;
    bool uninstall = is_uninstall(cmd);
    bool cancel_settled = cancel.is_none();
    bool cancelled = false, timed_out = false;

    // Takes one chunk from the queue, waiting up to `wait` seconds; false when none came.
    auto take = [&](double wait) {
        nb::object item;
        try {
            item = chunks.attr("get")("timeout"_a = wait);
        } catch (nb::python_error &e) {
            if (!e.matches(empty))
                throw;
            return false;
        }
        int index = nb::cast<int>(item[0]);
        nb::bytes data = nb::borrow<nb::bytes>(item[1]);
        if (data.size() == 0)
            relay.close(streams[index]);
        else
            relay.feed(streams[index], std::string_view(data.c_str(), data.size()));
        return true;
    };
    auto in_change_phase = [&] {
        return uninstall || relay.change_phase() || relay.pending_mentions_change(streams);
    };
    auto close_pipes = [&] {
        for (nb::object &reader : readers)
            reader.attr("join")(kReaderJoinSeconds);
        for (const char *pipe : pipes)
            tvx::except_exception([&] { proc.attr(pipe).attr("close")(); }, [] {});
    };
    auto end_tree = [&] {
        tree.kill();
        close_pipes();
        proc.attr("wait")();
    };

    try {
        while (streams[0].open || streams[1].open) {
            take(kPollSeconds);
            relay.tick(streams);
            if (!cancel_settled && cancel_requested(c, cancel)) {
                cancel_settled = true;
                if (!in_change_phase()) {
                    // Hold the tree still and read what it wrote before the stop: a
                    // change-phase line among it means the change has begun.
                    bool held = tree.pause(true);
                    double until = nb::cast<double>(clock()) + 1.0;
                    while (take(held ? kSettleSeconds : 0.0) && nb::cast<double>(clock()) < until) {
                    }
                    if (!in_change_phase()) {
                        cancelled = true;
                        end_tree();
                        break;
                    }
                    tree.pause(false);
                }
                tvx::log(c, "info",
                         "Cancel came too late: the installer is already changing the Python "
                         "environment; letting it finish: %s",
                         nb::str(" ").attr("join")(cmd));
            }
            if (nb::cast<double>(clock()) >= deadline) {
                timed_out = true;
                end_tree();
                break;
            }
        }
        if (!cancelled && !timed_out) {
            double left = deadline - nb::cast<double>(clock());
            try {
                if (timeout.is_none())
                    proc.attr("wait")();
                else
                    proc.attr("wait")("timeout"_a = left > 0.0 ? left : 0.0);
            } catch (nb::python_error &e) {
                if (!e.matches(subprocess.attr("TimeoutExpired")))
                    throw;
                timed_out = true;
                end_tree();
            }
        }
        close_pipes();
    } catch (nb::python_error &) {
        // KeyboardInterrupt or a failure of the relay: the installer must not
        // outlive the call.
        tree.kill();
        for (const char *pipe : pipes)
            tvx::except_exception([&] { proc.attr(pipe).attr("close")(); }, [] {});
        tvx::except_exception([&] { proc.attr("wait")("timeout"_a = 5.0); }, [] {});
        throw;
    }

    nb::object out = cleaned_bytes(c, streams[0].whole);
    if (cancelled)
        return pip_result(c, false, cmd, 130, out, nb::str(kCancelledMessage));
    if (timed_out)
        return timeout_result(c, cmd, timeout, spec, out);
    return finished_result(c, cmd, proc.attr("returncode"), out, cleaned_bytes(c, streams[1].whole));
}

}  // namespace wheelwork
