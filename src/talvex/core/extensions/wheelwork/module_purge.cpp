// Dropping an extension package's modules from the interpreter, so that Windows
// can release the files an install or uninstall has to replace or delete.
#include "common.hpp"

namespace wheelwork {

namespace {

// True when `key` equals one of `prefixes` or starts with one followed by ".".
// A prefix followed by "." is exactly the text of `key` before one of its dots,
// so looking up each such head finds every match without walking the prefixes.
bool matches_prefix(nb::handle key, const nb::set &prefixes) {
    if (prefixes.contains(key))
        return true;
    PyObject *s = key.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_READ_CHAR(s, i) != '.')
            continue;
        PyObject *head = PyUnicode_Substring(s, 0, i);
        if (!head)
            throw nb::python_error();
        if (prefixes.contains(nb::steal(head)))
            return true;
    }
    return false;
}

nb::object purge_imported_package_modules(Call &c, nb::tuple names) {
    nb::object gc = nb::module_::import_("gc");
    nb::object sys = c.g("sys");

    nb::set prefixes;
    for (nb::handle name : names) {
        nb::object text =
            tvx::truthy(name) ? nb::object(tvx::to_str(name)) : nb::object(nb::str(""));
        text = text.attr("strip")();
        if (!tvx::truthy(text))
            continue;
        prefixes.add(text.attr("replace")("-", "_"));
    }
    if (prefixes.size() == 0)
        return nb::int_(0);

    nb::object modules = sys.attr("modules");
    PyObject *keys = PySequence_List(modules.ptr());
    if (!keys)
        throw nb::python_error();
    nb::list snapshot = nb::steal<nb::list>(keys);
    nb::list doomed;
    for (nb::handle module_name : snapshot) {
        nb::object key = tvx::to_str(module_name).attr("replace")("-", "_");
        if (matches_prefix(key, prefixes))
            doomed.append(module_name);
    }
    for (nb::handle module_name : doomed)
        modules.attr("pop")(module_name, nb::none());
    gc.attr("collect")();
    return nb::int_(nb::len(doomed));
}

const FuncSpec kPurgeImportedPackageModules = {
    .name = "purge_imported_package_modules",
    .doc = "Drop ``sys.modules`` entries for extension packages so Windows can unlock files.\n"
           "\n"
           "    Returns the number of modules removed.  Call after ``unload_extension`` and\n"
           "    before ``pip uninstall`` / ``pip install --upgrade``.\n"
           "    ",
    .params = {star("names", "str")},
    .returns = "int",
    .impl = tvx::body<purge_imported_package_modules>,
};

}  // namespace

void init_module_purge(tvx::ModuleFrame &frame) {
    frame.def(kPurgeImportedPackageModules);
}

}  // namespace wheelwork
