// The pending-operations file: uninstalls and installs that met a file lock and
// finish at the next start.  The file is the only state; it is re-read on every
// call and replaced atomically on every change.
#include "common.hpp"

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

nb::object pending_key(Call &c) {
    return c.call("normalize_pypi_name", c.call("_package_name_only", c[0]));
}

nb::object read_ops(Call &c) {
    nb::object path = c.call("_pending_ops_path");
    nb::object text;
    try {
        text = path.attr("read_text")("encoding"_a = "utf-8");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_OSError))
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
        if (!e.matches(PyExc_ValueError))
            throw;
        tvx::log(c, "warning", "Ignoring unreadable pending-ops file");
        return empty_queue(c);
    }

    bool is_object = nb::isinstance<nb::dict>(data);
    nb::dict ops;
    for (nb::handle kind : c.g("_DEFERRED_OPS")) {
        nb::list keys;
        nb::object stored = is_object ? data.attr("get")(kind) : nb::none();
        if (nb::isinstance<nb::list>(stored)) {
            for (nb::handle item : stored) {
                if (!nb::isinstance<nb::str>(item))
                    continue;
                nb::object key = c.call("_pending_key", item);
                if (tvx::truthy(key) && !contains(keys, key))
                    keys.append(key);
            }
        }
        ops[kind] = keys;
    }
    return ops;
}

// Writes the queue text to `tmp` and forces it to disk before the caller moves
// it over the real file, so a power cut leaves either the old or the new queue.
void write_durably(Call &c, nb::handle tmp, nb::handle text) {
    tmp.attr("write_text")(text, "encoding"_a = "utf-8");
    nb::object fh = tmp.attr("open")("r+b");
    try {
        c.g("os").attr("fsync")(fh.attr("fileno")());
    } catch (nb::python_error &) {
        try {
            fh.attr("close")();
        } catch (nb::python_error &) {
        }
        throw;
    }
    fh.attr("close")();
}

nb::object write_ops(Call &c) {
    nb::handle ops = c[0];
    nb::object path = c.call("_pending_ops_path");
    try {
        path.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);

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
            path.attr("unlink")("missing_ok"_a = true);
            return nb::none();
        }

        nb::object text = c.g("json").attr("dumps")(data, "indent"_a = 1);
        nb::object tmp = path.attr("with_suffix")(path.attr("suffix") + nb::str(".tmp"));
        write_durably(c, tmp, text);
        c.g("os").attr("replace")(tmp, path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        tvx::log(c, "warning", "Could not update %s: %s", path, e.value());
    }
    return nb::none();
}

nb::object pending_packages(Call &c) {
    nb::handle op = c[0];
    nb::object kind = tvx::truthy(op) ? nb::object(tvx::to_str(op)) : nb::object(nb::str(""));
    nb::object ops = c.call("_read_ops");
    nb::object keys = ops.attr("get")(kind);
    nb::list copy;
    if (!keys.is_none())
        for (nb::handle key : keys)
            copy.append(key);
    return copy;
}

nb::object queue_pending_op(Call &c) {
    nb::object kind = kind_of(c[0]);
    if (!contains(c.g("_DEFERRED_OPS"), kind))
        return nb::bool_(false);
    nb::object key = c.call("_pending_key", c[1]);
    if (!tvx::truthy(key))
        return nb::bool_(false);
    nb::object ops = c.call("_read_ops");
    nb::object keys = ops[kind];
    if (contains(keys, key))
        return nb::bool_(true);
    keys.attr("append")(key);
    c.call("_write_ops", ops);
    tvx::log(c, "info", "Queued %s of %s for the next start", kind, key);
    return nb::bool_(true);
}

nb::object clear_pending_op(Call &c) {
    nb::object kind = kind_of(c[0]);
    nb::object key = c.call("_pending_key", c[1]);
    if (!contains(c.g("_DEFERRED_OPS"), kind) || !tvx::truthy(key))
        return nb::none();
    nb::object ops = c.call("_read_ops");
    nb::object old_keys = ops[kind];
    nb::list kept;
    for (nb::handle entry : old_keys)
        if (!entry.equal(key))
            kept.append(entry);
    if (kept.equal(old_keys))
        return nb::none();
    ops[kind] = kept;
    c.call("_write_ops", ops);
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

nb::object deferred_result(Call &c) {
    nb::handle op = c[0], pkg = c[1], result = c[2];
    nb::object verb = c.g("_OP_VERBS").attr("get")(op, "changed");
    nb::object message =
        nb::str("'{}' is in use by Talvex, so its files could not be {} now.\n\n"
                "Windows keeps a loaded extension module open, and Talvex has it loaded. "
                "The change has been queued and will finish automatically the next time "
                "Talvex starts.")
            .format(pkg, verb);
    nb::object stderr_text = c.call("sanitize_cli_text", message);
    return pip_result(c, false, result.attr("command"), result.attr("returncode"),
                      result.attr("stdout"), stderr_text, true);
}

const FuncSpec kFunctions[] = {
    {
        .name = "_pending_ops_path",
        .doc = "Where deferred extension operations wait for the next start "
               "(``TALVEX_PENDING_OPS_FILE`` overrides).",
        .params = {},
        .returns = "Path",
        .impl = pending_ops_path,
    },
    {
        .name = "_pending_key",
        .doc = "Queue key of *package*: its bare distribution name, normalized.",
        .params = {arg("package", "str")},
        .returns = "str",
        .impl = pending_key,
    },
    {
        .name = "_read_ops",
        .doc = "Read the pending-operations file; a missing or unreadable file is an empty queue.",
        .params = {},
        .returns = "dict[str, list[str]]",
        .impl = read_ops,
    },
    {
        .name = "_write_ops",
        .doc = "Replace the pending-operations file atomically (deleted when nothing is queued).",
        .params = {arg("ops", "dict[str, list[str]]")},
        .returns = "None",
        .impl = write_ops,
    },
    {
        .name = "pending_packages",
        .doc = "Packages queued for *op* (``\"uninstall\"`` or ``\"install\"``) at the next start.",
        .params = {arg("op", "str")},
        .returns = "list[str]",
        .impl = pending_packages,
    },
    {
        .name = "queue_pending_op",
        .doc = "Queue *op* of *package* for the next start; False when it cannot be queued.",
        .params = {arg("op", "str"), arg("package", "str")},
        .returns = "bool",
        .impl = queue_pending_op,
    },
    {
        .name = "clear_pending_op",
        .doc = "Drop *package* from the queued *op* operations, if it is there.",
        .params = {arg("op", "str"), arg("package", "str")},
        .returns = "None",
        .impl = clear_pending_op,
    },
    {
        .name = "pending_operations",
        .doc = "Queued ``(op, package)`` pairs in the order they run: uninstalls, then installs.",
        .params = {},
        .returns = "list[tuple[str, str]]",
        .impl = pending_operations,
    },
    {
        .name = "_deferred_result",
        .doc = "Failed *result* turned into the message that *op* of *pkg* finishes at the next "
               "start.",
        .params = {arg("op", "str"), arg("pkg", "str"), arg("result", "PipResult")},
        .returns = "PipResult",
        .impl = deferred_result,
    },
};

}  // namespace

std::span<const FuncSpec> pending_ops_functions() { return kFunctions; }

}  // namespace wheelwork
