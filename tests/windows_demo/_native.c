/* talvex_ext_demo._native: the compiled part of the demo extension that the Windows tests
   install, hold loaded and upgrade. scripts/windows-test builds it for Windows, once with
   DEMO_VERSION "1.0" and once with "2.0". */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef DEMO_VERSION
#error "DEMO_VERSION must be defined"
#endif

static int exec_native(PyObject *module) {
    return PyModule_AddStringConstant(module, "VERSION", DEMO_VERSION);
}

static PyModuleDef_Slot slots[] = {
    {Py_mod_exec, exec_native},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, NULL},
};

static struct PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT, "_native", "Compiled part of talvex-ext-demo.", 0, NULL, slots,
    NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&native_module);
}
