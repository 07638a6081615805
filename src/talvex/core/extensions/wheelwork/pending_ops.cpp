// The pending-operations file: uninstalls and installs that met a file lock and
// finish at the next start.  The file is the only state; it is re-read on every
// call, and every change is a read-modify-write under a lock shared by all
// processes, ending in an atomic replace of the whole file.
#include "common.hpp"

#include <cerrno>

namespace wheelwork {

namespace {

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// {"uninstall": [], "install": []}, keyed by the module's current kinds.
nb::dict empty_queue(Call &c) {
    nb::dict ops;
    for (nb::handle kind : c.g("_DEFERRED_OPS"))
        ops[kind] = nb::list();
    return ops;
}

// str(op or "").strip().lower()
nb::object kind_of(nb::handle op) {
    nb::object text = tvx::truthy(op) ? nb::object(tvx::to_str(op)) : nb::object(nb::str(""));
    return text.attr("strip")().attr("lower")();
}

nb::object pending_ops_path(Call &c) {
    nb::object path_cls = c.g("Path");
    nb::object raw = c.g("os").attr("environ").attr("get")("TALVEX_PENDING_OPS_FILE", "");
    raw = raw.attr("strip")();
    if (tvx::truthy(raw))
        return path_cls(raw).attr("expanduser")();
    return path_cls.attr("home")() / nb::str(".talvex") / nb::str("pending-extension-ops.json");
}

nb::object pending_key(Call &c, nb::handle package) {
    return c.call("normalize_pypi_name", c.call("_package_name_only", package));
}

bool is_oserror(const nb::python_error &e) { return e.matches(PyExc_OSError); }

// stat.S_ISREG / stat.S_ISDIR of an os.stat() result.
bool stat_is(const char *test, nb::handle st) {
    return tvx::truthy(nb::module_::import_("stat").attr(test)(st.attr("st_mode")));
}

// The file a write must replace: a symbolic link at the queue path is followed,
// so the link stays and the file it points to gets the new content.
nb::object write_target(nb::handle path) { return path.attr("resolve")(); }

nb::object read_ops(Call &c) {
    nb::object path = c.call("_pending_ops_path");
    // Only a regular file is opened: a FIFO would block start-up until a writer
    // appears, and a device never ends.
    nb::object st;
    try {
        st = c.g("os").attr("stat")(path);
    } catch (nb::python_error &e) {
        if (!is_oserror(e))
            throw;
        return empty_queue(c);
    }
    if (!stat_is("S_ISREG", st)) {
        if (!stat_is("S_ISDIR", st))
            tvx::log(c, "warning", "Ignoring pending-ops file that is not a regular file: %s", path);
        return empty_queue(c);
    }

    nb::object text;
    try {
        text = path.attr("read_text")("encoding"_a = "utf-8");
    } catch (nb::python_error &e) {
        if (is_oserror(e))
            return empty_queue(c);
        // Bytes that are not UTF-8 are as unusable as broken JSON; start-up
        // must not fail over them.
        if (!e.matches(PyExc_UnicodeDecodeError))
            throw;
        tvx::log(c, "warning", "Ignoring unreadable pending-ops file");
        return empty_queue(c);
    }
    nb::object data;
    try {
        data = c.g("json").attr("loads")(text);
    } catch (nb::python_error &e) {
        // Nesting too deep for the decoder is as broken as a syntax error.
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError))
            throw;
        tvx::log(c, "warning", "Ignoring unreadable pending-ops file");
        return empty_queue(c);
    }

    bool is_object = nb::isinstance<nb::dict>(data);
    nb::dict ops;
    for (nb::handle kind : c.g("_DEFERRED_OPS")) {
        nb::list keys;
        nb::set seen;  // the keys taken so far: first-seen order in one pass
        nb::object stored = is_object ? data.attr("get")(kind) : nb::none();
        if (nb::isinstance<nb::list>(stored)) {
            nb::object pending_key_fn = c.g("_pending_key");
            for (nb::handle item : stored) {
                if (!nb::isinstance<nb::str>(item))
                    continue;
                nb::object key = pending_key_fn(item);
                if (!tvx::truthy(key) || seen.contains(key))
                    continue;
                seen.add(key);
                keys.append(key);
            }
        }
        ops[kind] = keys;
    }
    return ops;
}

// Runs `step`, trying again for up to about a second while it fails with
// PermissionError: on Windows a virus scanner or an indexer that has just
// opened the freshly written file makes opening or replacing it fail for a
// moment.
template <typename Step>
auto retry_while_in_use(const Call &c, Step &&step) {
    constexpr int kAttempts = 10;
    for (int attempt = 1;; ++attempt) {
        try {
            return step();
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_PermissionError) || attempt >= kAttempts)
                throw;
        }
        c.g("time").attr("sleep")(0.1);
    }
}

// A new, empty file of this writer's own beside `target` ("<name>.<random>.tmp"),
// created the way a plain write creates a file (permissions from the umask), so
// that a queue file written for the first time is as readable as it always was.
nb::object create_temporary(const Call &c, nb::handle target) {
    nb::object os = c.g("os");
    nb::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
    for (const char *extra : {"O_CLOEXEC", "O_NOINHERIT"})
        flags = flags | tvx::attr_or(os, extra, nb::int_(0));
    for (int attempt = 0;; ++attempt) {
        nb::object name = nb::str("{}.{}.tmp").format(target.attr("name"),
                                                     os.attr("urandom")(6).attr("hex")());
        nb::object tmp = target.attr("with_name")(name);
        try {
            os.attr("close")(os.attr("open")(tmp, flags, 0666));
            return tmp;
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileExistsError) || attempt >= 100)
                throw;
        }
    }
}

// Fills a temporary file of its own beside `target` with `fill(tmp)`, forces it
// to disk and moves it over `target`: a reader, a concurrent writer or a power
// cut sees either the old or the new file, never a part of one.  The temporary
// file is removed when anything fails before the move.
template <typename Fill>
void replace_durably(const Call &c, nb::handle target, Fill &&fill) {
    nb::object os = c.g("os");
    nb::object tmp = create_temporary(c, target);
    try {
        fill(tmp);
        nb::object fh = tmp.attr("open")("r+b");
        try {
            os.attr("fsync")(fh.attr("fileno")());
        } catch (nb::python_error &) {
            try {
                fh.attr("close")();
            } catch (nb::python_error &) {
            }
            throw;
        }
        fh.attr("close")();
        retry_while_in_use(c, [&] { os.attr("replace")(tmp, target); });
    } catch (...) {
        try {
            tmp.attr("unlink")("missing_ok"_a = true);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

// `text` as the new content of the queue (or a side file) `target`, keeping the
// permissions of the file it replaces.
void replace_durably(Call &c, nb::handle target, nb::handle text, nb::handle old_stat) {
    replace_durably(c, target, [&](nb::handle tmp) {
        if (!old_stat.is_none())
            c.g("os").attr("chmod")(tmp, nb::module_::import_("stat").attr("S_IMODE")(
                                             old_stat.attr("st_mode")));
        tmp.attr("write_text")(text, "encoding"_a = "utf-8", "newline"_a = "");
    });
}

nb::object write_ops(Call &c, nb::handle ops) {
    nb::object path = c.call("_pending_ops_path");
    try {
        nb::object target = write_target(path);
        target.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);

        // Only a regular file is replaced or deleted; anything else at the path
        // (a FIFO, a socket, a device, a directory) stays as it is.
        nb::object old_stat = nb::none();
        try {
            old_stat = c.g("os").attr("stat")(target);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileNotFoundError))
                throw;
        }
        if (!old_stat.is_none() && !stat_is("S_ISREG", old_stat))
            tvx::raise(PyExc_OSError, "not a regular file");

        nb::object kinds = c.g("_DEFERRED_OPS");
        nb::dict data;
        bool anything = false;
        for (nb::handle kind : kinds) {
            nb::object entries = ops.attr("get")(kind);
            if (tvx::truthy(entries))
                anything = true;
            else
                entries = nb::list();
            data[kind] = entries;
        }
        if (!anything) {
            target.attr("unlink")("missing_ok"_a = true);
            return nb::none();
        }

        nb::object text = c.g("json").attr("dumps")(data, "indent"_a = 1);
        replace_durably(c, target, text, old_stat);
    } catch (nb::python_error &e) {
        if (!is_oserror(e))
            throw;
        tvx::log(c, "warning", "Could not update %s: %s", path, e.value());
    }
    return nb::none();
}

// An OSError of a non-blocking lock attempt that means "someone else holds it".
bool lock_is_busy(const nb::python_error &e) {
    nb::object code = tvx::attr_or(e.value(), "errno", nb::none());
    if (!nb::isinstance<nb::int_>(code))
        return false;
    int value = nb::cast<int>(code);
    return value == EACCES || value == EAGAIN || value == EWOULDBLOCK
#ifdef EDEADLOCK
           || value == EDEADLOCK
#endif
        ;
}

// An exclusive lock on "<queue file>.lock" held for one read-modify-write of the
// queue, so that changes made by several processes (the application, the
// command line, an instance starting while the previous one exits) do not
// overwrite one another.  The lock file is never deleted.
//
// The wait is bounded by `_PENDING_LOCK_SECONDS`: a holder that hangs must not
// hang every other process, so after the bound the change goes ahead with a
// warning.  A lock that cannot be had at all (read-only location, a lock path
// that is not a regular file) does not stop the change either; the write then
// decides whether it succeeds.
//
// Locks belong to an open file description, so two guards in one process
// exclude each other too: never create a second guard while one is alive.
class QueueLock {
public:
    explicit QueueLock(const Call &c) : os_(c.g("os")) {
        nb::object lock_path;
        try {
            // Beside the file a write replaces, so that every path leading to
            // one queue file (links included) shares one lock.
            nb::object target = write_target(c.call("_pending_ops_path"));
            lock_path = target.attr("with_name")(target.attr("name") + nb::str(".lock"));
            target.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
        } catch (nb::python_error &e) {
            if (!is_oserror(e))
                throw;
            if (!lock_path.is_valid())
                return;
        }
        if (!open_lock_file(c, lock_path))
            return;
        try {
            acquire(c, lock_path);
        } catch (...) {
            close_quietly();
            throw;
        }
    }
    ~QueueLock() {
        if (!fd_.is_valid())
            return;
        try {
            if (msvcrt_.is_valid()) {
                os_.attr("lseek")(fd_, 0, 0);
                msvcrt_.attr("locking")(fd_, msvcrt_.attr("LK_UNLCK"), 1);
            }
        } catch (nb::python_error &) {
        }
        close_quietly();  // closing also releases a flock
    }
    QueueLock(const QueueLock &) = delete;
    QueueLock &operator=(const QueueLock &) = delete;

private:
    bool open_lock_file(const Call &c, nb::handle lock_path) {
        // O_NONBLOCK: a FIFO put where the lock file belongs must not block the open.
        nb::object flags = os_.attr("O_RDWR") | os_.attr("O_CREAT");
        for (const char *extra : {"O_NONBLOCK", "O_CLOEXEC", "O_NOINHERIT"})
            flags = flags | tvx::attr_or(os_, extra, nb::int_(0));
        try {
            fd_ = os_.attr("open")(lock_path, flags, 0666);
            nb::object st = os_.attr("fstat")(fd_);
            if (stat_is("S_ISREG", st))
                return true;
            tvx::log(c, "warning", "Ignoring lock file that is not a regular file: %s", lock_path);
        } catch (nb::python_error &e) {
            if (!is_oserror(e))
                throw;
            tvx::log(c, "debug", "Could not lock %s: %s", lock_path, e.value());
        }
        close_quietly();
        return false;
    }

    void acquire(const Call &c, nb::handle lock_path) {
        try {
            fcntl_ = nb::module_::import_("fcntl");
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ImportError))
                throw;
            msvcrt_ = nb::module_::import_("msvcrt");
        }
        nb::object time = c.g("time");
        nb::object bound = c.g("_PENDING_LOCK_SECONDS");
        nb::object deadline = time.attr("monotonic")() + bound;
        double pause = 0.005;
        for (;;) {
            try {
                try_lock();
                return;
            } catch (nb::python_error &e) {
                if (!is_oserror(e))
                    throw;
                if (!lock_is_busy(e)) {
                    tvx::log(c, "debug", "Could not lock %s: %s", lock_path, e.value());
                    break;
                }
            }
            if (time.attr("monotonic")() >= deadline) {
                tvx::log(c, "warning",
                         "Could not lock %s within %s seconds; changing the pending-ops file anyway",
                         lock_path, bound);
                break;
            }
            time.attr("sleep")(pause);
            pause = pause < 0.05 ? pause * 2 : 0.05;
        }
        close_quietly();
        msvcrt_ = nb::object();
    }

    // One attempt that does not wait: flock where it exists, otherwise a
    // msvcrt lock of the file's first byte.
    void try_lock() {
        if (fcntl_.is_valid())
            fcntl_.attr("flock")(fd_, fcntl_.attr("LOCK_EX") | fcntl_.attr("LOCK_NB"));
        else
            msvcrt_.attr("locking")(fd_, msvcrt_.attr("LK_NBLCK"), 1);
    }

    void close_quietly() {
        if (!fd_.is_valid())
            return;
        try {
            os_.attr("close")(fd_);
        } catch (nb::python_error &) {
        }
        fd_ = nb::object();
    }

    nb::object os_;
    nb::object fd_;      // the open lock file, while held
    nb::object fcntl_;   // the module locking it, where flock exists
    nb::object msvcrt_;  // otherwise (Windows): a byte-range lock
};

// Whether a change may go ahead: the queue file is missing, is not a regular
// file (reading and writing then decide), or can be opened for reading.  A
// file that is there but cannot be read (permissions, or on Windows another
// program holding it longer than a moment) would read as an empty queue, and
// writing that back would throw away everything queued; such a change is not
// made.
bool queue_file_readable(const Call &c) {
    nb::object path = c.call("_pending_ops_path");
    try {
        nb::object target = write_target(path);
        if (!stat_is("S_ISREG", c.g("os").attr("stat")(target)))
            return true;
        retry_while_in_use(c, [&] { target.attr("open")("rb").attr("close")(); });
        return true;
    } catch (nb::python_error &e) {
        if (!is_oserror(e))
            throw;
        if (e.matches(PyExc_FileNotFoundError))
            return true;
        tvx::log(c, "warning", "Could not update %s: %s", path, e.value());
        return false;
    }
}

// --- failed starts ---------------------------------------------------------------
//
// For each queued change, the number of start-up replays that tried it without
// completing it, kept in "<queue file>.failed-starts" beside the file a write
// replaces: {"uninstall": {key: n, ...}, "install": {key: n, ...}}.  The queue
// file keeps its own layout, so every reader and writer of it (older versions
// included) goes on working.  The counts are changed under the queue's lock;
// a count is only meaningful while its change stays queued, so counts of keys
// that left the queue are dropped at the next write.

nb::object starts_file(const Call &c) {
    nb::object target = write_target(c.call("_pending_ops_path"));
    return target.attr("with_name")(target.attr("name") + nb::str(".failed-starts"));
}

nb::dict no_starts(const Call &c) {
    nb::dict counts;
    for (nb::handle kind : c.g("_DEFERRED_OPS"))
        counts[kind] = nb::dict();
    return counts;
}

// The JSON document of a file kept beside the queue; None when there is no such
// regular file or it cannot be read, and when it is not JSON (with *unreadable*
// logged as a warning naming the file).
nb::object read_side_file(const Call &c, nb::handle file, const char *unreadable) {
    try {
        if (!stat_is("S_ISREG", c.g("os").attr("stat")(file)))
            return nb::none();
        return c.g("json").attr("loads")(file.attr("read_text")("encoding"_a = "utf-8"));
    } catch (nb::python_error &e) {
        if (is_oserror(e))
            return nb::none();
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError))
            throw;  // UnicodeDecodeError is a ValueError too
        tvx::log(c, "warning", unreadable, file);
        return nb::none();
    }
}

// The stored counts: positive integers under string keys; a missing file, or
// anything else found there, counts as nothing.
nb::dict read_starts(const Call &c, nb::handle file) {
    nb::dict counts = no_starts(c);
    nb::object data = read_side_file(c, file, "Ignoring unreadable failed-starts file %s");
    if (!nb::isinstance<nb::dict>(data))
        return counts;
    for (nb::handle kind : c.g("_DEFERRED_OPS")) {
        nb::object stored = data.attr("get")(kind);
        if (!nb::isinstance<nb::dict>(stored))
            continue;
        nb::dict kept = nb::borrow<nb::dict>(counts[kind]);
        for (auto [key, value] : nb::borrow<nb::dict>(stored)) {
            if (nb::isinstance<nb::str>(key) && PyLong_CheckExact(value.ptr()) &&
                value > nb::int_(0))
                kept[key] = value;
        }
    }
    return counts;
}

// Replaces the counts file atomically, or deletes it when no count is left.
// Operating-system errors are logged, not raised.
void write_starts(Call &c, nb::handle file, nb::handle counts) {
    try {
        nb::dict data;
        bool anything = false;
        for (nb::handle kind : c.g("_DEFERRED_OPS")) {
            nb::object entries = counts.attr("get")(kind, nb::dict());
            anything = anything || tvx::truthy(entries);
            data[kind] = entries;
        }
        nb::object old_stat = nb::none();
        try {
            old_stat = c.g("os").attr("stat")(file);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_FileNotFoundError))
                throw;
        }
        if (!old_stat.is_none() && !stat_is("S_ISREG", old_stat))
            tvx::raise(PyExc_OSError, "not a regular file");
        if (!anything) {
            file.attr("unlink")("missing_ok"_a = true);
            return;
        }
        replace_durably(c, file, c.g("json").attr("dumps")(data, "indent"_a = 1), old_stat);
    } catch (nb::python_error &e) {
        if (!is_oserror(e))
            throw;
        tvx::log(c, "warning", "Could not update %s: %s", file, e.value());
    }
}

// The counts of the changes `ops` holds, in queue order; the others are dropped.
nb::dict starts_of_queued(const Call &c, nb::handle ops, nb::handle counts) {
    nb::dict kept = no_starts(c);
    for (nb::handle kind : c.g("_DEFERRED_OPS")) {
        nb::object stored = counts.attr("get")(kind, nb::dict());
        if (!tvx::truthy(stored))
            continue;
        nb::dict mine = nb::borrow<nb::dict>(kept[kind]);
        for (nb::handle key : ops[kind]) {
            nb::object n = stored.attr("get")(key);
            if (!n.is_none())
                mine[key] = n;
        }
    }
    return kept;
}

bool queue_is_empty(const Call &c, nb::handle ops) {
    for (nb::handle kind : c.g("_DEFERRED_OPS"))
        if (tvx::truthy(ops.attr("get")(kind)))
            return false;
    return true;
}

bool file_exists(const Call &c, nb::handle file) {
    return tvx::truthy(c.g("os").attr("path").attr("lexists")(file));
}

nb::object failed_starts(Call &c) {
    nb::object ops = c.call("_read_ops");
    nb::object file = starts_file(c);
    if (!file_exists(c, file))
        return no_starts(c);
    return starts_of_queued(c, ops, read_starts(c, file));
}

nb::object count_starts(Call &c, nb::handle operations, nb::handle delta_arg) {
    nb::object delta = nb::steal(PyNumber_Index(delta_arg.ptr()));
    if (!delta.is_valid())
        throw nb::python_error();
    nb::object kinds = c.g("_DEFERRED_OPS");
    nb::list result;
    QueueLock lock(c);
    nb::object ops = c.call("_read_ops");
    nb::dict queued;  // kind -> set of its keys
    for (nb::handle kind : kinds) {
        PyObject *keys = PySet_New(nb::object(ops[kind]).ptr());
        if (!keys)
            throw nb::python_error();
        queued[kind] = nb::steal(keys);
    }
    nb::object file = starts_file(c);
    nb::dict counts = starts_of_queued(c, ops, read_starts(c, file));
    bool changed = false;
    for (nb::handle entry : operations) {
        nb::object op = entry[0], package = entry[1];
        nb::object kind = kind_of(op);
        nb::object key = c.call("_pending_key", package);
        if (!queued.contains(kind) || !tvx::truthy(key) ||
            !nb::borrow<nb::set>(queued[kind]).contains(key)) {
            result.append(nb::int_(0));  // applied or withdrawn meanwhile
            continue;
        }
        nb::dict mine = nb::borrow<nb::dict>(counts[kind]);
        nb::object n = (mine.contains(key) ? nb::object(mine[key]) : nb::object(nb::int_(0))) + delta;
        if (n > nb::int_(0))
            mine[key] = n;
        else if (mine.contains(key))
            mine.attr("pop")(key);
        result.append(n > nb::int_(0) ? n : nb::object(nb::int_(0)));
        changed = true;
    }
    if (changed)
        write_starts(c, file, counts);
    return result;
}

// A change queued anew starts with no failed starts, whatever a count left
// behind by an earlier stay in the queue says.
void forget_starts(Call &c, nb::handle kind, nb::handle key) {
    nb::object file = starts_file(c);
    if (!file_exists(c, file))
        return;
    nb::dict counts = read_starts(c, file);
    nb::dict mine = nb::borrow<nb::dict>(counts[kind]);
    if (!mine.contains(key))
        return;
    mine.attr("pop")(key);
    write_starts(c, file, counts);
}

// --- wheel files ------------------------------------------------------------------
//
// An install deferred from a wheel file keeps a copy of the file in
// "<queue file>.wheels/" (the user's download folder may be cleaned before the
// next start) and records it in "<queue file>.wheel-files":
//   {"queue": <sha256 of the queue file>, "install": {key: {"file": <copy's name>,
//                                                           "source": <the user's path>}}}
// The queue file still holds the plain name: a version that knows nothing of the
// record installs the name from the index.  A record is trusted only while the
// queue file is the one it was written with, so a queue changed by such a
// version turns every record into an install by name, and the next change made
// here drops the records and copies that no queued install needs.  Records and
// copies are changed under the queue's lock.

nb::object beside_queue(const Call &c, const char *suffix) {
    nb::object target = write_target(c.call("_pending_ops_path"));
    return target.attr("with_name")(target.attr("name") + nb::str(suffix));
}

nb::object wheels_record(const Call &c) { return beside_queue(c, ".wheel-files"); }
nb::object wheels_folder(const Call &c) { return beside_queue(c, ".wheels"); }

bool wheel_side_exists(const Call &c) {
    nb::object exists = c.g("os").attr("path").attr("lexists");
    return tvx::truthy(exists(wheels_record(c))) || tvx::truthy(exists(wheels_folder(c)));
}

// The queue file's digest, "" when there is none, None when it cannot be read.
nb::object queue_digest(const Call &c) {
    try {
        nb::object data = write_target(c.call("_pending_ops_path")).attr("read_bytes")();
        return nb::module_::import_("hashlib").attr("sha256")(data).attr("hexdigest")();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError))
            return nb::str("");
        if (!is_oserror(e))
            throw;
        return nb::none();
    }
}

// The trusted records: {key: {"file": name, "source": path}}.
nb::dict wheel_records(const Call &c) {
    nb::dict records;
    nb::object data = read_side_file(c, wheels_record(c), "Ignoring unreadable wheel-files record %s");
    if (!nb::isinstance<nb::dict>(data) || !data.attr("get")("queue").equal(queue_digest(c)))
        return records;
    nb::object stored = data.attr("get")("install");
    if (!nb::isinstance<nb::dict>(stored))
        return records;
    for (auto [key, entry] : nb::borrow<nb::dict>(stored)) {
        if (!nb::isinstance<nb::str>(key) || !nb::isinstance<nb::dict>(entry))
            continue;
        nb::object name = entry.attr("get")("file"), source = entry.attr("get")("source");
        // A bare file name, nothing that leads out of the folder.
        if (!nb::isinstance<nb::str>(name) || !nb::isinstance<nb::str>(source) ||
            !c.g("os").attr("path").attr("basename")(name).equal(name) ||
            name.equal(nb::str(".")) || name.equal(nb::str("..")))
            continue;
        nb::dict kept;
        kept["file"] = name;
        kept["source"] = source;
        records[key] = kept;
    }
    return records;
}

// A copy of `wheel` in the folder, made atomically; its name, or None (logged)
// when it cannot be made.
nb::object keep_wheel_copy(Call &c, nb::handle wheel) {
    nb::object folder = wheels_folder(c);
    nb::object name = c.g("os").attr("path").attr("basename")(c.g("os").attr("fspath")(wheel));
    // The installers take only a lower-case ".whl".
    if (tvx::truthy(name.attr("lower")().attr("endswith")(".whl")))
        name = name.attr("__getitem__")(nb::slice(0, -4)) + nb::str(".whl");
    try {
        folder.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
        replace_durably(c, folder / name, [&](nb::handle tmp) { c.g("shutil").attr("copyfile")(wheel, tmp); });
        return name;
    } catch (nb::python_error &e) {
        if (!is_oserror(e))
            throw;
        tvx::log(c, "warning", "Could not keep a copy of %s: %s", wheel, e.value());
        return nb::none();
    }
}

// Writes the records of the installs still queued, with the queue file's
// current digest, and removes the copies no record names.  False (logged)
// when the record cannot be written.
bool write_wheel_records(Call &c, nb::dict records) {
    nb::object file = wheels_record(c), folder = wheels_folder(c);
    nb::object queued = c.call("_read_ops").attr("get")("install", nb::list());
    nb::dict kept;
    nb::set names;
    for (auto [key, entry] : records)
        if (contains(queued, key)) {
            kept[key] = entry;
            names.add(nb::object(entry["file"]));
        }
    bool written = true;
    try {
        if (nb::len(kept) == 0) {
            file.attr("unlink")("missing_ok"_a = true);
        } else {
            nb::dict data;
            data["queue"] = queue_digest(c);
            data["install"] = kept;
            nb::object old_stat = nb::none();
            if (file_exists(c, file))
                old_stat = c.g("os").attr("stat")(file);
            replace_durably(c, file, c.g("json").attr("dumps")(data, "indent"_a = 1), old_stat);
        }
    } catch (nb::python_error &e) {
        if (!is_oserror(e))
            throw;
        tvx::log(c, "warning", "Could not update %s: %s", file, e.value());
        written = false;
    }
    try {
        if (tvx::truthy(folder.attr("is_dir")())) {
            for (nb::handle entry : folder.attr("iterdir")())
                if (!names.contains(entry.attr("name")) && tvx::truthy(entry.attr("is_file")()))
                    entry.attr("unlink")("missing_ok"_a = true);
            if (nb::len(names) == 0)
                folder.attr("rmdir")();
        }
    } catch (nb::python_error &e) {
        if (!is_oserror(e))
            throw;
        tvx::log(c, "warning", "Could not update %s: %s", folder, e.value());
    }
    return written;
}

nb::object pending_wheel_files(Call &c) {
    nb::dict out;
    if (!wheel_side_exists(c))
        return out;
    nb::object queued = c.call("_read_ops").attr("get")("install", nb::list());
    nb::object folder = wheels_folder(c);
    for (auto [key, entry] : wheel_records(c)) {
        if (!contains(queued, key))
            continue;
        nb::dict shown;
        shown["file"] = tvx::to_str(folder / nb::object(entry["file"]));
        shown["source"] = entry["source"];
        out[key] = shown;
    }
    return out;
}

nb::object pending_packages(Call &c, nb::handle op) {
    nb::object kind = tvx::truthy(op) ? nb::object(tvx::to_str(op)) : nb::object(nb::str(""));
    nb::object ops = c.call("_read_ops");
    nb::object keys = ops.attr("get")(kind);
    nb::list copy;
    if (!keys.is_none())
        for (nb::handle key : keys)
            copy.append(key);
    return copy;
}

// The queue's list of `kind` without `key`.
nb::list without(nb::handle ops, nb::handle kind, nb::handle key) {
    nb::list kept;
    for (nb::handle entry : ops[kind])
        if (!entry.equal(key))
            kept.append(entry);
    return kept;
}

nb::object queue_pending_op(Call &c, nb::handle op, nb::handle package, nb::handle wheel) {
    nb::object kind = kind_of(op);
    if (!contains(c.g("_DEFERRED_OPS"), kind))
        return nb::bool_(false);
    nb::object key = c.call("_pending_key", package);
    if (!tvx::truthy(key))
        return nb::bool_(false);
    bool from_file = !wheel.is_none() && kind.equal(nb::str("install"));
    bool added = false;
    {
        QueueLock lock(c);
        if (!queue_file_readable(c))
            return nb::bool_(false);
        bool side = wheel_side_exists(c);
        nb::dict records = side ? wheel_records(c) : nb::dict();  // before the queue changes
        nb::object copy = nb::none();
        if (from_file) {
            copy = keep_wheel_copy(c, wheel);
            if (copy.is_none())
                return nb::bool_(false);
        }
        nb::object ops = c.call("_read_ops");
        nb::object keys = ops[kind];
        added = !contains(keys, key);
        if (added) {
            keys.attr("append")(key);
            c.call("_write_ops", ops);
            // A write that failed has only logged its warning: read back what the
            // next start will find before telling the caller it is queued.
            if (!contains(c.call("_read_ops")[kind], key)) {
                if (side || from_file)
                    write_wheel_records(c, records);
                return nb::bool_(false);
            }
            forget_starts(c, kind, key);
        }
        // The later request wins: a file replaces what was queued for the
        // package, a name drops the record of a file.
        if (from_file || side) {
            if (from_file) {
                nb::dict entry;
                entry["file"] = copy;
                entry["source"] = tvx::to_str(c.g("os").attr("fspath")(wheel));
                records[key] = entry;
            } else if (kind.equal(nb::str("install")) && records.contains(key)) {
                records.attr("pop")(key);
            }
            if (!write_wheel_records(c, records) && from_file) {
                // Without its record the replay would install the name from the index.
                if (added) {
                    nb::object now = c.call("_read_ops");
                    now[kind] = without(now, kind, key);
                    c.call("_write_ops", now);
                }
                return nb::bool_(false);
            }
        }
    }
    if (from_file)
        tvx::log(c, "info", "Queued %s of %s from %s for the next start", kind, key, wheel);
    else if (added)
        tvx::log(c, "info", "Queued %s of %s for the next start", kind, key);
    return nb::bool_(true);
}

nb::object clear_pending_op(Call &c, nb::handle op, nb::handle package) {
    nb::object kind = kind_of(op);
    nb::object key = c.call("_pending_key", package);
    if (!contains(c.g("_DEFERRED_OPS"), kind) || !tvx::truthy(key))
        return nb::none();
    // Most clears (every successful install) find nothing to do; they neither
    // wait for the lock nor create its file.
    if (!contains(c.call("_read_ops")[kind], key))
        return nb::none();
    QueueLock lock(c);
    if (!queue_file_readable(c))
        return nb::none();
    nb::object ops = c.call("_read_ops");
    nb::list kept = without(ops, kind, key);
    if (kept.equal(ops[kind]))
        return nb::none();
    ops[kind] = kept;
    bool side = wheel_side_exists(c);
    nb::dict records = side ? wheel_records(c) : nb::dict();  // before the queue changes
    c.call("_write_ops", ops);
    // A file's copy goes with its queued install.
    if (side)
        write_wheel_records(c, records);
    // The counts go with the last queued change.
    nb::object file = starts_file(c);
    if (queue_is_empty(c, ops) && file_exists(c, file) && queue_is_empty(c, c.call("_read_ops")))
        write_starts(c, file, no_starts(c));
    return nb::none();
}

nb::object pending_operations(Call &c) {
    nb::object ops = c.call("_read_ops");
    nb::list result;
    for (nb::handle kind : c.g("_DEFERRED_OPS")) {
        nb::object keys = ops.attr("get")(kind, nb::list());
        for (nb::handle key : keys)
            result.append(nb::make_tuple(kind, key));
    }
    return result;
}

nb::object deferred_result(Call &c, nb::handle op, nb::handle pkg, nb::handle result) {
    nb::object verb = c.g("_OP_VERBS").attr("get")(op, "changed");
    nb::object message =
        nb::str("'{}' is in use by Talvex, so its files could not be {} now.\n\n"
                "Windows keeps a loaded extension module open, and Talvex has it loaded. "
                "The change has been queued and will finish automatically the next time "
                "Talvex starts.")
            .format(pkg, verb);
    return failure_from(
        c, result, [&] { return c.call("sanitize_cli_text", message); }, true);
}

const FuncSpec kPendingOpsPath = {
    .name = "_pending_ops_path",
    .doc = "Where deferred extension operations wait for the next start "
           "(``TALVEX_PENDING_OPS_FILE`` overrides).",
    .params = {},
    .returns = "Path",
    .impl = tvx::body<pending_ops_path>,
};

const FuncSpec kPendingKey = {
    .name = "_pending_key",
    .doc = "Queue key of *package*: its bare distribution name, normalized.",
    .params = {arg("package", "str")},
    .returns = "str",
    .impl = tvx::body<pending_key>,
};

const FuncSpec kReadOps = {
    .name = "_read_ops",
    .doc = "Read the pending-operations file; a missing or unreadable file is an empty queue.",
    .params = {},
    .returns = "dict[str, list[str]]",
    .impl = tvx::body<read_ops>,
};

const FuncSpec kWriteOps = {
    .name = "_write_ops",
    .doc = "Replace the pending-operations file atomically (deleted when nothing is queued).",
    .params = {arg("ops", "dict[str, list[str]]")},
    .returns = "None",
    .impl = tvx::body<write_ops>,
};

const FuncSpec kPendingPackages = {
    .name = "pending_packages",
    .doc = "Packages queued for *op* (``\"uninstall\"`` or ``\"install\"``) at the next start.",
    .params = {arg("op", "str")},
    .returns = "list[str]",
    .impl = tvx::body<pending_packages>,
};

const FuncSpec kQueuePendingOp = {
    .name = "queue_pending_op",
    .doc = "Queue *op* of *package* for the next start; False when it cannot be queued.\n"
           "\n"
           "*wheel*, for an install from a wheel file, keeps a copy of that file for the\n"
           "replay (the queue itself holds the name); a later install by name drops it.\n",
    .params = {arg("op", "str"), arg("package", "str"), kwarg("wheel", "Path | None", dflt(nullptr))},
    .returns = "bool",
    .impl = tvx::body<queue_pending_op>,
};

const FuncSpec kClearPendingOp = {
    .name = "clear_pending_op",
    .doc = "Drop *package* from the queued *op* operations, if it is there.",
    .params = {arg("op", "str"), arg("package", "str")},
    .returns = "None",
    .impl = tvx::body<clear_pending_op>,
};

const FuncSpec kPendingOperations = {
    .name = "pending_operations",
    .doc = "Queued ``(op, package)`` pairs in the order they run: uninstalls, then installs.",
    .params = {},
    .returns = "list[tuple[str, str]]",
    .impl = tvx::body<pending_operations>,
};

const FuncSpec kFailedStarts = {
    .name = "_failed_starts",
    .doc = "How many start-up replays each queued change has failed: "
           "``{op: {package: starts}}``.",
    .params = {},
    .returns = "dict[str, dict[str, int]]",
    .impl = tvx::body<failed_starts>,
};

const FuncSpec kCountStarts = {
    .name = "_count_starts",
    .doc = "Add *delta* to the failed starts of each queued ``(op, package)``; the new counts.\n"
           "\n"
           "A start-up replay counts every change it is about to try at once, before\n"
           "trying any (so a start that never finishes counts too), and takes the count\n"
           "back for those it did not reach.  0 for a change that is not (or no longer)\n"
           "queued.  A change that completes leaves the queue and its count with it.\n",
    .params = {arg("operations", "list[tuple[str, str]]"), arg("delta", "int")},
    .returns = "list[int]",
    .impl = tvx::body<count_starts>,
};

const FuncSpec kPendingWheelFiles = {
    .name = "_pending_wheel_files",
    .doc = "Queued installs from wheel files: ``{package: {\"file\": copy, \"source\": path}}``.",
    .params = {},
    .returns = "dict[str, dict[str, str]]",
    .impl = tvx::body<pending_wheel_files>,
};

const FuncSpec kDeferredResult = {
    .name = "_deferred_result",
    .doc = "Failed *result* turned into the message that *op* of *pkg* finishes at the next "
           "start.",
    .params = {arg("op", "str"), arg("pkg", "str"), arg("result", "PipResult")},
    .returns = "PipResult",
    .impl = tvx::body<deferred_result>,
};

}  // namespace

void init_pending_ops(tvx::ModuleFrame &frame) {
    frame.def(kPendingOpsPath);
    frame.def(kPendingKey);
    frame.def(kReadOps);
    frame.def(kWriteOps);
    frame.def(kPendingPackages);
    frame.def(kQueuePendingOp);
    frame.def(kClearPendingOp);
    frame.def(kPendingOperations);
    frame.def(kFailedStarts);
    frame.def(kCountStarts);
    frame.def(kPendingWheelFiles);
    frame.def(kDeferredResult);
}

}  // namespace wheelwork
