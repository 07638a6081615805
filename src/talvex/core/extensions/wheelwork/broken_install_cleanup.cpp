// Bare distribution names, the interpreter's site-packages directories, and the
// removal of leftovers of interrupted installs (metadata directories without
// METADATA, package directories whose metadata is broken or missing).
#include "common.hpp"
#include "text_scan.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace wheelwork {

namespace {

nb::str empty_str() { return nb::str(""); }

bool contains(nb::handle text, nb::handle part) {
    int r = PySequence_Contains(text.ptr(), part.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

bool contains(nb::handle text, const char *part) { return contains(text, nb::str(part)); }

// str(package or "") reduced to its distribution name: the environment marker
// (from ";"), the extras (from "[") and the version pin cut off, stripped at each
// step.  The name ends where the first version operator begins, whichever
// operator that is ("a<2,>=1" is "a", not "a<2,").
nb::object package_name_only(Call &, nb::handle package) {
    nb::object text = tvx::truthy(package) ? nb::object(tvx::to_str(package)) : nb::object(nb::str(""));
    PyObject *s = text.ptr();
    auto [begin, end] = text::with_chars(s, [](const auto *data, Py_ssize_t n) {
        Py_ssize_t begin = 0, end = n;
        auto strip = [&] {
            while (begin < end && Py_UNICODE_ISSPACE(data[begin]))
                ++begin;
            while (end > begin && Py_UNICODE_ISSPACE(data[end - 1]))
                --end;
        };
        auto cut_at_first = [&](Py_UCS4 sep) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                if (data[i] == sep) {
                    end = i;
                    strip();
                    return;
                }
            }
        };
        strip();
        // The marker goes first, so an operator inside it is never taken for a pin.
        cut_at_first(';');
        cut_at_first('[');
        for (Py_ssize_t i = begin; i < end; ++i) {
            Py_UCS4 ch = data[i];
            bool starts_operator = ch == '<' || ch == '>' ||
                                   ((ch == '=' || ch == '!' || ch == '~') && i + 1 < end &&
                                    data[i + 1] == '=');
            if (starts_operator) {
                end = i;
                strip();
                break;
            }
        }
        return std::pair{begin, end};
    });
    PyObject *result = PyUnicode_Substring(s, begin, end);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object site_packages_roots(Call &c) {
    nb::object path_cls = c.g("Path");
    nb::list candidates;

    tvx::except_exception(
        [&] {
            nb::object site = nb::module_::import_("site");
            nb::object listed = site.attr("getsitepackages")();
            nb::list entries;
            if (tvx::truthy(listed))
                for (nb::handle entry : listed)
                    entries.append(entry);
            entries.append(site.attr("getusersitepackages")());
            nb::list found;
            for (nb::handle entry : entries)
                if (tvx::truthy(entry))
                    found.append(path_cls(entry));
            for (nb::handle p : found)
                candidates.append(p);
        },
        [] {});

    tvx::except_exception(
        [&] {
            nb::object sysconfig = nb::module_::import_("sysconfig");
            nb::object purelib = sysconfig.attr("get_path")("purelib");
            if (tvx::truthy(purelib))
                candidates.append(path_cls(purelib));
        },
        [] {});

    tvx::except_exception(
        [&] {
            nb::object sys = c.g("sys");
            nb::object prefix = path_cls(sys.attr("prefix"));
            candidates.append(prefix / nb::str("Lib") / nb::str("site-packages"));
            // Appended one by one: the Windows layout stays even when the version
            // cannot be read.
            nb::object info = sys.attr("version_info");
            nb::str version = nb::str("python{}.{}").format(info[0], info[1]);
            candidates.append(prefix / nb::str("lib") / version / nb::str("site-packages"));
        },
        [] {});

    nb::set seen;
    nb::list roots;
    for (nb::handle candidate : candidates) {
        nb::object key = tvx::except_exception(
            [&] { return tvx::to_str(candidate.attr("resolve")()); },
            [&] { return tvx::to_str(candidate); });
        if (seen.contains(key))
            continue;
        seen.add(key);
        if (tvx::truthy(candidate.attr("is_dir")()))
            roots.append(candidate);
    }
    return roots;
}

// "py3", "py3.13": the Python tag that setuptools writes after the version in
// the name of an egg's metadata directory.
bool is_python_tag(nb::handle part) {
    std::string_view s;
    if (!text::ascii_view(part, s) || s.size() < 3 || s.substr(0, 2) != "py" || s[2] < '0' ||
        s[2] > '9')
        return false;
    for (char ch : s.substr(2))
        if ((ch < '0' || ch > '9') && ch != '.')
            return false;
    return true;
}

// The project named by a metadata directory's name: lower case, the version (and
// an egg's "-pyX.Y[-platform]" after it) dropped, "-" as "_"; "" for other names.
nb::object project_name_of(nb::handle dist_dir_name) {
    nb::object name = dist_dir_name.attr("lower")();
    nb::object stem;
    if (tvx::truthy(name.attr("endswith")(".dist-info")))
        stem = name[nb::slice(nb::none(), nb::int_(-10), nb::none())];
    else if (tvx::truthy(name.attr("endswith")(".egg-info")))
        stem = name[nb::slice(nb::none(), nb::int_(-9), nb::none())];
    else
        return empty_str();
    if (!contains(stem, "-"))
        return stem;
    nb::list parts = nb::borrow<nb::list>(stem.attr("split")("-"));
    Py_ssize_t n = static_cast<Py_ssize_t>(nb::len(parts));
    // "<name>-<version>-py3.13[-<platform>]": the tag and what follows it belong
    // to the version.  A tag needs a name and a version before it.
    for (Py_ssize_t i = n - 1; i >= 2; --i) {
        if (is_python_tag(parts[i])) {
            n = i;
            break;
        }
    }
    PyObject *name_parts = PyList_GetSlice(parts.ptr(), 0, n - 1);
    if (!name_parts)
        throw nb::python_error();
    return nb::str("_").attr("join")(nb::steal(name_parts));
}

nb::object dist_project_name(Call &, nb::handle dist_dir_name) {
    return project_name_of(dist_dir_name);
}

const FuncSpec kDistProjectName = {
    .name = "_dist_project_name",
    .qualname = "cleanup_broken_package_install.<locals>._dist_project_name",
    .params = {arg("dist_dir_name", "str")},
    .returns = "str",
    .impl = tvx::body<dist_project_name>,
};

// shutil.rmtree(directory); the path is recorded and logged only when nothing
// was raised.  OSError is logged and swallowed, anything else propagates.
void remove_tree(Call &c, nb::handle directory, nb::list &removed, const char *message) {
    try {
        c.g("shutil").attr("rmtree")(directory, "ignore_errors"_a = false);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        tvx::log(c, "warning", "Could not remove %s: %s", directory, e.value());
        return;
    }
    removed.append(tvx::to_str(directory));
    tvx::log(c, "info", message, directory);
}

bool is_metadata_name(nb::handle lowered) {
    return tvx::truthy(lowered.attr("endswith")(nb::make_tuple(".dist-info", ".egg-info")));
}

// The key a directory is compared by: its resolved path (the path as given when
// resolving fails), case-folded as the platform compares paths.
nb::object path_key(const Call &c, nb::handle path) {
    nb::object as_path = c.g("Path")(path);
    nb::object text = tvx::except_exception([&] { return tvx::to_str(as_path.attr("resolve")()); },
                                            [&] { return tvx::to_str(as_path); });
    return c.g("os").attr("path").attr("normcase")(text);
}

// Which roots package directories may be removed from: the interpreter's
// site-packages directories (purelib, platlib, the user site when it is enabled,
// any directory named site-packages or dist-packages), never a prefix itself.
// Windows' site.getsitepackages() lists sys.prefix first, whose children are the
// interpreter's Lib, Scripts and DLLs.  Read once per cleanup, when first needed.
class PackageRoots {
public:
    bool holds_packages(const Call &c, nb::handle root) {
        if (!loaded_)
            load(c);
        nb::object key = path_key(c, root);
        if (prefixes_.contains(key))
            return false;
        if (site_dirs_.contains(key))
            return true;
        nb::object name = root.attr("name").attr("lower")();
        return name.equal(nb::str("site-packages")) || name.equal(nb::str("dist-packages"));
    }

private:
    void load(const Call &c) {
        loaded_ = true;
        nb::object sys = c.g("sys");
        for (const char *attr : {"prefix", "exec_prefix", "base_prefix", "base_exec_prefix"}) {
            nb::object value = tvx::attr_or(sys, attr, nb::none());
            if (tvx::truthy(value))
                prefixes_.add(path_key(c, value));
        }
        tvx::except_exception(
            [&] {
                nb::object sysconfig = nb::module_::import_("sysconfig");
                for (const char *scheme_path : {"purelib", "platlib"}) {
                    nb::object dir = sysconfig.attr("get_path")(scheme_path);
                    if (tvx::truthy(dir))
                        site_dirs_.add(path_key(c, dir));
                }
            },
            [] {});
        tvx::except_exception(
            [&] {
                nb::object site = nb::module_::import_("site");
                if (tvx::truthy(tvx::attr_or(site, "ENABLE_USER_SITE", nb::none()))) {
                    nb::object user = site.attr("getusersitepackages")();
                    if (tvx::truthy(user))
                        site_dirs_.add(path_key(c, user));
                }
            },
            [] {});
    }

    bool loaded_ = false;
    nb::set prefixes_, site_dirs_;
};

// Whether a top-level name of a RECORD path or a top_level.txt line is the
// package directory `target`, compared as package directories are (lower case,
// "-" as "_").
bool names_target(std::string_view name, nb::handle target) {
    std::string_view want;
    bool ascii = text::ascii_view(target, want);
    bool name_ascii = true;
    for (char ch : name)
        name_ascii = name_ascii && static_cast<unsigned char>(ch) < 128;
    if (ascii && name_ascii) {
        if (name.size() != want.size())
            return false;
        for (size_t i = 0; i < name.size(); ++i) {
            char ch = text::lower(name[i]);
            if ((ch == '-' ? '_' : ch) != want[i])
                return false;
        }
        return true;
    }
    PyObject *decoded = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                             "replace");
    if (!decoded)
        throw nb::python_error();
    nb::object key = nb::steal(decoded).attr("lower")().attr("replace")("-", "_");
    return key.equal(target);
}

// The files in which a distribution's metadata directory names what it installed.
enum class Listing {
    TopLevel,        // top_level.txt: one top-level name a line
    Record,          // RECORD: CSV rows of path (relative to site-packages), hash, size
    InstalledFiles,  // installed-files.txt of a legacy egg: paths relative to the egg-info
};

// str.strip() of one line of a UTF-8 listing.  An ASCII line is stripped as
// bytes; any other is decoded first: the last byte of "à" (0xA0) or "ą" (0x85)
// is no whitespace, while U+00A0 or U+2003 at either end is.  `held` keeps the
// re-encoded text the returned view points into.
std::string_view strip_line(std::string_view line, std::string &held) {
    bool ascii = true;
    for (char ch : line)
        ascii = ascii && static_cast<unsigned char>(ch) < 128;
    if (ascii)
        return text::strip(line);
    PyObject *decoded =
        PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
    if (!decoded)
        throw nb::python_error();
    nb::object stripped = nb::steal(decoded).attr("strip")();
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(stripped.ptr(), &size);
    if (!utf8)
        throw nb::python_error();
    held.assign(utf8, static_cast<size_t>(size));
    return held;
}

// Whether a listing names the package directory `target` (or, for the file
// lists, a file inside it).
bool claims(std::string_view data, Listing kind, nb::handle target) {
    std::string held;
    while (!data.empty()) {
        size_t eol = data.find('\n');
        std::string_view line = data.substr(0, eol);
        data = eol == std::string_view::npos ? std::string_view() : data.substr(eol + 1);
        if (kind == Listing::Record) {
            if (!line.empty() && line.front() == '"') {
                line.remove_prefix(1);
                line = line.substr(0, line.find('"'));
            } else {
                line = line.substr(0, line.find(','));
            }
        } else {
            line = strip_line(line, held);
        }
        if (kind == Listing::InstalledFiles) {
            if (line.substr(0, 3) != "../" && line.substr(0, 3) != "..\\")
                continue;  // a file of the egg-info directory itself
            line.remove_prefix(3);
        }
        size_t sep = line.find_first_of("/\\");
        if (sep == std::string_view::npos && kind != Listing::TopLevel)
            continue;  // a file directly in site-packages
        std::string_view top = line.substr(0, sep);
        if (!top.empty() && names_target(top, target))
            return true;
    }
    return false;
}

// An open file descriptor, closed when it goes out of scope.
class OpenFd {
public:
    OpenFd(nb::handle os, nb::object fd) : os_(nb::borrow(os)), fd_(std::move(fd)) {}
    ~OpenFd() {
        try {
            os_.attr("close")(fd_);
        } catch (nb::python_error &) {
        }
    }
    OpenFd(const OpenFd &) = delete;
    OpenFd &operator=(const OpenFd &) = delete;
    nb::handle fd() const { return fd_; }

private:
    nb::object os_, fd_;
};

// The bytes of the regular file at `path`; None when nothing is there; the
// exception (or a text) when something is there that cannot be read.  Opened
// without blocking and checked before reading: a FIFO where a RECORD should be
// must not hang the cleanup.
struct FileRead {
    nb::object data, problem;
};

FileRead read_regular_file(nb::handle os, nb::handle flags, nb::handle path) {
    try {
        OpenFd file(os, os.attr("open")(path, flags));
        nb::object st = os.attr("fstat")(file.fd());
        if (!tvx::truthy(nb::module_::import_("stat").attr("S_ISREG")(st.attr("st_mode"))))
            return {nb::none(), nb::str("not a regular file")};
        nb::object size = nb::int_(65536) + st.attr("st_size");
        nb::list chunks;
        for (;;) {
            nb::object chunk = os.attr("read")(file.fd(), size);
            if (!tvx::truthy(chunk))
                break;
            chunks.append(chunk);
        }
        return {nb::bytes("").attr("join")(chunks), nb::none()};
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError) || e.matches(PyExc_NotADirectoryError))
            return {nb::none(), nb::none()};
        if (!e.matches(PyExc_OSError))
            throw;
        return {nb::none(), nb::borrow(e.value())};
    }
}

// The metadata directory, among `others` (those of other distributions in the
// same root), that claims the package directory `target` or has a listing that
// cannot be read; None when none does.
// The small top_level.txt files are read first, the file lists only if they did
// not tell.
nb::object claimed_by(const Call &c, const nb::list &others, nb::handle target) {
    nb::object os = c.g("os");
    nb::object join = os.attr("path").attr("join");
    nb::object flags = os.attr("O_RDONLY");
    for (const char *extra : {"O_NONBLOCK", "O_BINARY", "O_CLOEXEC", "O_NOINHERIT"})
        flags = flags | tvx::attr_or(os, extra, nb::int_(0));
    const std::pair<const char *, Listing> listings[] = {{"top_level.txt", Listing::TopLevel},
                                                         {"RECORD", Listing::Record},
                                                         {"installed-files.txt", Listing::InstalledFiles}};
    for (auto [file, kind] : listings) {
        for (nb::handle directory : others) {
            if (kind == Listing::InstalledFiles &&
                !tvx::truthy(directory.attr("name").attr("lower")().attr("endswith")(".egg-info")))
                continue;  // only eggs have one
            nb::object path = join(directory, file);
            FileRead read = read_regular_file(os, flags, path);
            if (!read.problem.is_none()) {
                // What it lists is unknown, so it may own the directory.
                tvx::log(c, "warning", "Could not read %s: %s", path, read.problem);
                return nb::borrow(directory);
            }
            if (read.data.is_none())
                continue;
            std::string_view view(PyBytes_AS_STRING(read.data.ptr()),
                                  static_cast<size_t>(PyBytes_GET_SIZE(read.data.ptr())));
            if (claims(view, kind, target))
                return nb::borrow(directory);
        }
    }
    return nb::none();
}

nb::list package_dirs(const nb::list &children, nb::handle target) {
    nb::list found;
    for (nb::handle child : children) {
        if (!tvx::truthy(child.attr("is_dir")()))
            continue;
        nb::object name = child.attr("name").attr("lower")().attr("replace")("-", "_");
        if (name.equal(target))
            found.append(child);
    }
    return found;
}

bool list_children(nb::handle root, nb::list &children) {
    try {
        nb::object listing = root.attr("iterdir")();
        PyObject *items = PySequence_List(listing.ptr());
        if (!items)
            throw nb::python_error();
        children = nb::steal<nb::list>(items);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        return false;
    }
    return true;
}

bool has_readable_metadata(nb::handle directory) {
    for (const char *file : {"METADATA", "PKG-INFO"}) {
        nb::object path = directory / nb::str(file);
        try {
            if (tvx::truthy(path.attr("is_file")()) &&
                tvx::truthy(path.attr("read_bytes")()))
                return true;
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
        }
    }
    return false;
}

nb::object cleanup_broken_package_install(Call &c, nb::handle package) {
    nb::object project_name = tvx::make_nested(c, kDistProjectName, nb::tuple());
    nb::object bare = c.call("_package_name_only", package);
    nb::list removed;
    if (!tvx::truthy(bare))
        return removed;
    nb::object target = c.call("normalize_pypi_name", bare).attr("replace")("-", "_");
    PackageRoots package_roots;

    for (nb::handle root : c.call("_site_packages_roots")) {
        nb::list children;
        if (!list_children(root, children))
            continue;

        nb::list metadata, others;
        for (nb::handle child : children) {
            if (!tvx::truthy(child.attr("is_dir")()))
                continue;
            nb::object name = child.attr("name");
            if (!is_metadata_name(name.attr("lower")()))
                continue;
            (project_name(name).equal(target) ? metadata : others).append(child);
        }

        bool has_healthy = false;
        for (nb::handle directory : metadata) {
            if (tvx::truthy((directory / nb::str("METADATA")).attr("is_file")()) ||
                tvx::truthy((directory / nb::str("PKG-INFO")).attr("is_file")())) {
                has_healthy = true;
                continue;
            }
            remove_tree(c, directory, removed, "Removed broken package metadata: %s");
        }
        if (has_healthy)
            continue;

        // The package directory goes only when nothing else owns it: another
        // distribution installed under another name (PySide6 of
        // PySide6-Essentials) or sharing a namespace directory (talvex/).
        nb::list packages = package_dirs(children, target);
        if (nb::len(packages) == 0 || !package_roots.holds_packages(c, root))
            continue;
        nb::object owner = claimed_by(c, others, target);
        if (!owner.is_none()) {
            for (nb::handle directory : packages)
                tvx::log(c, "info", "Kept %s: claimed by %s", directory, owner);
            continue;
        }
        const char *message = nb::len(metadata) == 0 ? "Removed orphan package directory: %s"
                                                     : "Removed leftover package files: %s";
        for (nb::handle directory : packages)
            remove_tree(c, directory, removed, message);
    }
    return removed;
}

const FuncSpec kPackageNameOnly = {
    .name = "_package_name_only",
    .doc = "Bare distribution name of a requirement (no marker, extras or version pin).",
    .params = {arg("package", "str")},
    .returns = "str",
    .impl = tvx::body<package_name_only>,
};

const FuncSpec kSitePackagesRoots = {
    .name = "_site_packages_roots",
    .doc = "Existing site-packages directories of this interpreter, without duplicates.",
    .params = {},
    .returns = "list[Path]",
    .impl = tvx::body<site_packages_roots>,
};

const FuncSpec kCleanupBrokenPackageInstall = {
    .name = "cleanup_broken_package_install",
    .doc = "Remove broken metadata and leftover files of *package* from site-packages.\n"
           "\n"
           "A ``.dist-info`` directory without ``METADATA`` (left by an interrupted\n"
           "install) makes ``uv`` fail before it downloads a fresh wheel.  Such\n"
           "directories are deleted, as is the package directory when none of its\n"
           "metadata is healthy or when it has no metadata at all, unless another\n"
           "installed distribution claims it (its ``RECORD`` or ``installed-files.txt``\n"
           "lists files in it, or its ``top_level.txt`` names it).  Package directories are only removed from\n"
           "site-packages directories, never from the interpreter's prefix.  Returns\n"
           "the removed paths.\n",
    .params = {arg("package", "str")},
    .returns = "list[str]",
    .impl = tvx::body<cleanup_broken_package_install>,
};

}  // namespace

// Signs that what is installed, not the release being installed, made an install
// fail: the failure text names a path inside one of the site-packages roots, or
// a metadata directory of the package there has no readable METADATA/PKG-INFO.
// A locked file names its path in site-packages too, so a failure that reads as
// a lock is judged by the metadata directories alone.
bool installed_state_broken(const Call &c, nb::handle pkg, nb::handle failure_text) {
    nb::object target = c.call("normalize_pypi_name", pkg).attr("replace")("-", "_");
    nb::object normcase = c.g("os").attr("path").attr("normcase");
    nb::object sep = c.g("os").attr("sep");
    nb::object text = normcase(failure_text);
    bool locked = tvx::truthy(c.call("_looks_like_file_lock_error", failure_text));
    for (nb::handle root : c.call("_site_packages_roots")) {
        nb::object spellings[] = {tvx::to_str(root), path_key(c, root)};
        for (nb::handle spelling : spellings) {
            if (!locked && contains(text, normcase(spelling) + sep))
                return true;
        }
        nb::list children;
        if (!list_children(root, children))
            continue;
        for (nb::handle child : children) {
            if (!tvx::truthy(child.attr("is_dir")()))
                continue;
            nb::object name = child.attr("name");
            if (is_metadata_name(name.attr("lower")()) && project_name_of(name).equal(target) &&
                !has_readable_metadata(child))
                return true;
        }
    }
    return false;
}

void init_broken_install_cleanup(tvx::ModuleFrame &frame) {
    frame.def(kPackageNameOnly);
    frame.def(kSitePackagesRoots);
    frame.def(kCleanupBrokenPackageInstall);
}

}  // namespace wheelwork
