// Replaying, early at start-up, the operations that were queued because the
// previous instance held the package's files open.
#include "common.hpp"

#include <optional>
#include <tuple>
#include <utility>

namespace wheelwork {

namespace {

nb::object invalidate_import_caches(Call &c) {
    tvx::except_exception_logged(
        c, "importlib.invalidate_caches failed",
        [&] { c.g("importlib").attr("invalidate_caches")(); }, [] {});
    tvx::except_exception_logged(
        c, "Clearing the path importer cache failed",
        [&] { c.g("sys").attr("path_importer_cache").attr("clear")(); }, [] {});
    return nb::none();
}

// Calls a caller-supplied callback; its exceptions are logged, never raised.
template <typename... Args>
void notify(const Call &c, nb::handle callback, const char *failed, Args &&...args) {
    if (callback.is_none())
        return;
    tvx::except_exception_logged(
        c, failed, [&] { callback(std::forward<Args>(args)...); }, [] {});
}

// "<type>: <message>" of a caught exception, as the error of a failed attempt.
nb::object describe(const nb::python_error &e) {
    nb::object type = nb::borrow(e.type());
    return nb::str("{}: {}").format(type.attr("__name__"), tvx::or_none(e.value()));
}

// A queued change that failed at the last start it may have: it leaves the
// queue, with a warning naming it and its last error, and the host is told.
void give_up(const Call &c, nb::handle op, nb::handle pkg, nb::handle starts, nb::handle error,
             nb::handle on_dropped) {
    c.call("clear_pending_op", op, pkg);
    tvx::log(c, "warning", "Deferred %s of %s failed at %s starts and leaves the queue: %s", op, pkg,
             starts, error);
    notify(c, on_dropped, "Dropped-change callback failed", op, pkg, error);
}

// The retry budget of one change in a start whose replay has `left` seconds:
// the caller's (or the module's) budget, cut to what is left.
nb::object retry_budget(const Call &c, nb::handle retry_seconds, nb::handle left) {
    nb::object own;
    if (retry_seconds.is_none()) {
        own = c.g("_RETRY_SECONDS");
    } else {
        PyObject *seconds = PyNumber_Float(retry_seconds.ptr());
        if (!seconds) {
            PyErr_Clear();  // _apply_deferred_op reports it
            return nb::borrow(retry_seconds);
        }
        own = nb::steal(seconds);
    }
    return left < own ? nb::borrow(left) : nb::borrow(retry_seconds);
}

// `_RUN_DEADLINE.set(deadline)` for as long as the object lives: every installer
// run started meanwhile on this thread ends by then.
class RunDeadline {
public:
    RunDeadline(const Call &c, nb::handle deadline)
        : var_(c.g("_RUN_DEADLINE")), token_(var_.attr("set")(deadline)) {}
    ~RunDeadline() {
        try {
            var_.attr("reset")(token_);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("resetting the installer runs' deadline");
        }
    }
    RunDeadline(const RunDeadline &) = delete;
    RunDeadline &operator=(const RunDeadline &) = delete;

private:
    nb::object var_, token_;
};

nb::object process_pending_operations(Call &c, nb::handle retry_seconds, nb::handle on_progress,
                                      nb::handle startup_arg, nb::handle on_dropped,
                                      nb::handle on_output, nb::handle cancel) {
    bool startup = tvx::truthy(startup_arg);
    nb::list operations;
    for (nb::handle entry : c.call("pending_operations")) {
        auto [op, pkg] = tvx::unpack_pair(entry);
        operations.append(nb::make_tuple(op, pkg));
    }
    Py_ssize_t count = nb::len(operations);
    nb::int_ total(count);
    nb::list completed;

    // At start-up every change is counted as a failed start before any is tried,
    // in one write, so that a start that never finishes counts too; a change that
    // completes leaves the queue and its count with it.  The replay as a whole
    // has a budget: the changes it does not reach get their count back and stay
    // queued for the next start, and an installer run still going when it is
    // spent is stopped (a failed start for its change).
    nb::object deadline, counts;
    std::optional<RunDeadline> run_deadline;
    if (startup && count > 0) {
        deadline = c.g("time").attr("monotonic")() + c.g("_REPLAY_SECONDS");
        counts = c.call("_count_starts", operations, 1);
        run_deadline.emplace(c, deadline);
    }

    // A cancelled replay leaves the changes it did not complete queued, their
    // counts as they were before this start.
    auto stop_cancelled = [&](Py_ssize_t from) {
        if (counts.is_valid()) {
            nb::list unreached;
            for (Py_ssize_t j = from; j < count; ++j)
                unreached.append(operations[j]);
            c.call("_count_starts", unreached, -1);
        }
        tvx::log(c, "info", "Replay of queued extension changes cancelled; %d of %d stay queued",
                 nb::int_(count - from), total);
    };

    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object op = operations[i][0], pkg = operations[i][1];
        nb::int_ index(i + 1);
        if (cancel_requested(c, cancel)) {
            stop_cancelled(i);
            break;
        }

        nb::object retry = nb::borrow(retry_seconds);
        nb::object starts;
        if (counts.is_valid()) {
            nb::object left = deadline - c.g("time").attr("monotonic")();
            if (left <= nb::float_(0.0)) {
                nb::list unreached;
                for (Py_ssize_t j = i; j < count; ++j)
                    unreached.append(operations[j]);
                c.call("_count_starts", unreached, -1);
                tvx::log(c, "warning",
                         "Replay of queued extension changes stopped after %ss; %d of %d stay "
                         "queued for the next start",
                         c.g("_REPLAY_SECONDS"), nb::int_(count - i), total);
                break;
            }
            retry = retry_budget(c, retry_seconds, left);
            starts = counts[i];
        }

        notify(c, on_progress, "Progress callback failed", index, total, pkg);

        if (starts.is_valid()) {
            if (!tvx::truthy(starts))
                continue;  // applied or withdrawn meanwhile by another process
            if (starts > c.g("_MAX_FAILED_STARTS")) {
                give_up(c, op, pkg, c.g("_MAX_FAILED_STARTS"),
                        nb::str("no result (the last start that tried it did not finish)"),
                        on_dropped);
                continue;
            }
        }

        nb::object done, error;
        bool raised = false;
        tvx::except_exception(
            [&] {
                std::tie(done, error) = tvx::unpack_pair(
                    c.call("_apply_deferred_op", op, pkg, "retry_seconds"_a = retry,
                           **stream_keywords(on_output, cancel)));
            },
            [&](const nb::python_error &e) {
                tvx::log_exc(c, e, "warning", "Deferred %s of %s raised", op, pkg);
                done = nb::bool_(false);
                error = describe(e);
                raised = true;
            });
        if (!tvx::truthy(done) && !raised && cancel_requested(c, cancel)) {
            stop_cancelled(i);
            break;
        }
        if (tvx::truthy(done)) {
            c.call("clear_pending_op", op, pkg);
            completed.append(tvx::to_str(op) + nb::str(" ") + tvx::to_str(pkg));
            tvx::log(c, "info", "Completed deferred %s of %s", op, pkg);
        } else if (starts.is_valid() && starts >= c.g("_MAX_FAILED_STARTS")) {
            give_up(c, op, pkg, starts, error, on_dropped);
        } else if (!raised) {
            tvx::log(c, "warning", "Deferred %s of %s could not be applied and stays queued: %s", op,
                     pkg, error);
        }
    }

    if (nb::len(completed) > 0)
        c.call("_invalidate_import_caches");
    return completed;
}

nb::object apply_deferred_op(Call &c, nb::handle op, nb::handle pkg, nb::handle retry_seconds,
                             nb::handle on_output, nb::handle cancel) {
    nb::object budget;
    if (retry_seconds.is_none()) {
        budget = c.g("_RETRY_SECONDS");
    } else {
        PyObject *seconds = PyNumber_Float(retry_seconds.ptr());
        if (!seconds)
            throw nb::python_error();
        budget = nb::steal(seconds);
    }
    bool uninstall = op.equal(nb::str("uninstall"));
    // An install queued from a wheel file installs the copy kept beside the queue.
    nb::object source = nb::borrow(pkg);
    if (!uninstall) {
        nb::object kept = c.call("_pending_wheel_files").attr("get")(c.call("_pending_key", pkg));
        if (!kept.is_none())
            source = nb::object(kept["file"]);
    }
    nb::object deadline = c.g("time").attr("monotonic")() + budget;

    // A restart starts this instance before the previous one has let go of the
    // files, so a lock is retried until the budget is spent; any other failure
    // ends the attempt at once.
    for (;;) {
        nb::object result;
        bool done;
        if (uninstall) {
            result = c.call("run_uninstall", pkg, "defer_on_lock"_a = false,
                            **stream_keywords(on_output, cancel));
            // A package that is already gone counts as removed.
            done = tvx::truthy(result.attr("ok")) ||
                   !tvx::truthy(c.call("_dist_is_installed", pkg));
        } else {
            result = c.call("run_install", source, "upgrade"_a = true, "defer_on_lock"_a = false,
                            **stream_keywords(on_output, cancel));
            done = tvx::truthy(result.attr("ok"));
        }
        if (done)
            return nb::make_tuple(true, "");

        nb::object error = result.attr("output");
        if (!tvx::truthy(error))
            error = nb::str("unknown error");
        nb::object lock_text = tvx::to_str(result.attr("stderr")) + nb::str("\n") +
                               tvx::to_str(result.attr("stdout"));
        if (!tvx::truthy(c.call("_looks_like_file_lock_error", lock_text)) ||
            c.g("time").attr("monotonic")() >= deadline || cancel_requested(c, cancel))
            return nb::make_tuple(false, error);
        tvx::log(c, "info",
                 "Deferred %s of %s is still locked (previous instance shutting down?); retrying",
                 op, pkg);
        c.g("time").attr("sleep")(c.g("_RETRY_INTERVAL"));
    }
}

const FuncSpec kInvalidateImportCaches = {
    .name = "_invalidate_import_caches",
    .doc = "Forget cached finders and metadata so packages changed on disk become visible.",
    .params = {},
    .returns = "None",
    .impl = tvx::body<invalidate_import_caches>,
};

const FuncSpec kProcessPendingOperations = {
    .name = "process_pending_operations",
    .doc = "Apply extension uninstalls/installs queued while their files were locked.\n"
           "\n"
           "Call once early at start-up, before extensions are imported.  Queued\n"
           "uninstalls run first, then installs (as upgrades); each is retried while its\n"
           "files still look locked, for up to *retry_seconds* (15 s by default).\n"
           "*on_progress* is called with ``(index, total, package)`` before each one.\n"
           "Completed operations leave the queue; the others stay for the next start.\n"
           "Returns the completed operations as ``\"<op> <package>\"`` strings.\n"
           "\n"
           "At start-up (*startup*, the default) the whole replay keeps to a budget of\n"
           "30 s: what it does not reach stays queued for the next start.  A change is\n"
           "tried at no more than 3 starts: after the third that fails it leaves the\n"
           "queue with a warning, and *on_dropped* is called with ``(op, package,\n"
           "error)``.  ``startup=False`` (a replay asked for by hand, with Talvex\n"
           "closed) tries every change and counts nothing.\n"
           "\n"
           "*on_output* and *cancel* are handed to each installer run (see\n"
           "``run_install``); once *cancel* is set the replay stops, and what it did not\n"
           "complete stays queued without counting this start.\n",
    .params = {arg("retry_seconds", "float | None", dflt(nullptr)),
               arg("on_progress", "'Callable[[int, int, str], None] | None'", dflt(nullptr)),
               kwarg("startup", "bool", dflt(true)),
               kwarg("on_dropped", "'Callable[[str, str, str], None] | None'", dflt(nullptr)),
               kwarg("on_output", "Callable[[str], object] | None", dflt(nullptr)),
               kwarg("cancel", "Any", dflt(nullptr))},
    .returns = "list[str]",
    .impl = tvx::body<process_pending_operations>,
};

const FuncSpec kApplyDeferredOp = {
    .name = "_apply_deferred_op",
    .doc = "Run one queued operation, retrying while its files are still locked.\n"
           "\n"
           "Returns ``(done, error)``; *error* is the last installer output, or\n"
           "``\"unknown error\"`` when there was none.\n",
    .params = {arg("op", "str"), arg("pkg", "str"),
               kwarg("retry_seconds", "float | None", dflt(nullptr)),
               kwarg("on_output", "Callable[[str], object] | None", dflt(nullptr)),
               kwarg("cancel", "Any", dflt(nullptr))},
    .returns = "tuple[bool, str]",
    .impl = tvx::body<apply_deferred_op>,
};

}  // namespace

void init_deferred_replay(tvx::ModuleFrame &frame) {
    frame.def(kInvalidateImportCaches);
    frame.def(kProcessPendingOperations);
    frame.def(kApplyDeferredOp);
}

}  // namespace wheelwork
