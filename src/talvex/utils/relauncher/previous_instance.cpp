// In a relaunched instance: waiting for the instance that started it to exit,
// so that the files of its loaded extension modules are no longer locked.
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

namespace relauncher {

namespace {

constexpr long long kLargestPid = 2147483647;

#ifdef _WIN32
// Closes the process handle it holds when it goes out of scope.
class ProcessHandle {
public:
    explicit ProcessHandle(HANDLE handle) : handle_(handle) {}
    ~ProcessHandle() {
        if (handle_ != nullptr)
            CloseHandle(handle_);
    }
    ProcessHandle(const ProcessHandle &) = delete;
    ProcessHandle &operator=(const ProcessHandle &) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// os.kill(pid, 0) is no probe on Windows (signal 0 is CTRL_C_EVENT, other
// numbers terminate the process), so ask the system directly.  The exit code is
// no answer either: a process that exited with 259 reads as STILL_ACTIVE.  The
// process handle is signalled once the process has exited, so a wait that times
// out at once means it still runs.
bool process_running(unsigned long long pid) {
    if (pid > 0xFFFFFFFFull)
        return false;
    ProcessHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                      static_cast<DWORD>(pid)));
    if (process.get() == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED;  // exists, but is not ours to open
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}
#endif

nb::object pid_alive([[maybe_unused]] Call &c, nb::handle pid) {
    if (pid <= nb::int_(0))
        return nb::bool_(false);
#ifdef _WIN32
    nb::object index = nb::steal(PyNumber_Index(pid.ptr()));
    if (!index.is_valid())
        throw nb::python_error();
    unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            throw nb::python_error();
        PyErr_Clear();
        return nb::bool_(false);  // beyond any process id
    }
    return nb::bool_(process_running(value));
#else
    try {
        c.attr("os", "kill")(pid, 0);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ProcessLookupError))
            return nb::bool_(false);
        if (e.matches(PyExc_PermissionError))
            return nb::bool_(true);
        if (e.matches(PyExc_OSError))
            return nb::bool_(false);
        throw;
    }
    return nb::bool_(true);
#endif
}

nb::object wait_for_previous_instance(Call &c, nb::handle timeout) {
    nb::object name = c.g("PREVIOUS_PID_ENV");
    nb::object raw = c.attr("os", "environ").attr("get")(name, "").attr("strip")();
    if (!tvx::truthy(raw))
        return nb::bool_(true);
    c.attr("os", "environ").attr("pop")(name, nb::none());

    nb::object pid;
    try {
        pid = nb::int_(raw);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
    }
    // A number beyond any process id cannot name the previous instance, and the
    // probe could not even be asked about it (os.kill raises OverflowError): the
    // POSIX pid_t is a 32-bit signed integer, and Windows hands out far smaller ids.
    if (!pid.is_valid() || pid > nb::int_(kLargestPid)) {
        tvx::log(c, "debug", "Ignoring unparsable %s=%r", name, raw);
        return nb::bool_(true);
    }
    if (pid.equal(c.attr("os", "getpid")()))
        return nb::bool_(true);

    nb::object zero = nb::float_(0.0);
    nb::object span = timeout > zero ? nb::borrow(timeout) : zero;
    nb::object deadline = c.attr("time", "monotonic")() + span;
    while (c.attr("time", "monotonic")() < deadline) {
        if (!tvx::truthy(c.call("_pid_alive", pid))) {
            tvx::log(c, "info", "Previous Talvex instance (pid %s) has exited", pid);
            return nb::bool_(true);
        }
        c.attr("time", "sleep")(0.2);
    }
    tvx::log(c, "warning",
             "Previous Talvex instance (pid %s) is still running after %.0fs; deferred extension "
             "changes may fail and stay queued",
             pid, timeout);
    return nb::bool_(false);
}

const FuncSpec kPidAlive = {
    .name = "_pid_alive",
    .doc = "Return True when process *pid* still runs (a probe that delivers nothing).\n",
    .params = {arg("pid", "int")},
    .returns = "bool",
    .impl = tvx::body<pid_alive>,
};

const FuncSpec kWaitForPreviousInstance = {
    .name = "wait_for_previous_instance",
    .doc = "Wait for the instance that launched this one to exit.\n"
           "\n"
           "The process id comes from ``PREVIOUS_PID_ENV``, which is consumed.  Returns\n"
           "True when there is nothing to wait for or the process has exited, False when\n"
           "it still runs after *timeout* seconds; start-up goes on either way.\n",
    .params = {arg("timeout", "float", dflt(30.0))},
    .returns = "bool",
    .impl = tvx::body<wait_for_previous_instance>,
};

}  // namespace

void init_previous_instance(tvx::ModuleFrame &frame) {
    frame.def(kPidAlive);
    frame.def(kWaitForPreviousInstance);
}

}  // namespace relauncher
