/*
 * The floor of bench.py: the least work a get_plugin can do.
 *
 * Floor(tree, error).get_plugin binds the same four parameters as
 * PluginManager.get_plugin (os, series, model, chassis_type="single_rp"),
 * walks the same nested dicts down to the deepest existing key and returns
 * tree[os][series][model]["data"][chassis_type]["cls"]. It validates nothing.
 * On a miss it raises `error` with the same message the manager builds.
 * Keys are assumed to be plain str, so the borrowed references stay valid.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyObject_HEAD
    PyObject *tree;
    PyObject *error;
} Floor;

static PyObject *names[4]; /* os, series, model, chassis_type */
static PyObject *s_data, *s_cls, *s_single_rp, *s_slash;

static int
bind(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out)
{
    if (nargs > 4) {
        PyErr_Format(PyExc_TypeError, "get_plugin() takes at most 4 positional arguments (%zd given)", nargs);
        return -1;
    }
    out[0] = out[1] = out[2] = Py_None;
    out[3] = s_single_rp;
    for (Py_ssize_t i = 0; i < nargs; i++)
        out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int j = 0; j < 4 && slot < 0; j++)
            if (key == names[j])
                slot = j;
        for (int j = 0; j < 4 && slot < 0; j++)
            if (PyUnicode_Compare(key, names[j]) == 0)
                slot = j;
        if (slot < 0 || slot < nargs) {
            PyErr_Format(PyExc_TypeError, "get_plugin() got an unexpected or repeated argument '%U'", key);
            return -1;
        }
        out[slot] = args[nargs + k];
    }
    return 0;
}

static PyObject *
miss(Floor *self, PyObject **path, Py_ssize_t depth, PyObject *chassis_type)
{
    PyObject *keys = PyTuple_New(depth);
    if (keys == NULL)
        return NULL;
    for (Py_ssize_t i = 0; i < depth; i++) {
        Py_INCREF(path[i]);
        PyTuple_SET_ITEM(keys, i, path[i]);
    }
    PyObject *joined = PyUnicode_Join(s_slash, keys);
    Py_DECREF(keys);
    if (joined == NULL)
        return NULL;
    PyObject *message = PyUnicode_FromFormat("Plugin data not found for (%U), type: %S ", joined, chassis_type);
    Py_DECREF(joined);
    if (message != NULL) {
        PyErr_SetObject(self->error, message);
        Py_DECREF(message);
    }
    return NULL;
}

static PyObject *
floor_get_plugin(Floor *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[4];
    if (bind(args, nargs, kwnames, a) < 0)
        return NULL;
    Py_ssize_t depth = a[2] != Py_None ? 3 : a[1] != Py_None ? 2 : 1;
    PyObject *node = self->tree;
    for (Py_ssize_t i = 0; i < depth; i++) {
        PyObject *child = PyDict_GetItemWithError(node, a[i]);
        if (child == NULL) {
            if (PyErr_Occurred())
                return NULL;
            break;
        }
        node = child;
    }
    PyObject *data = PyDict_GetItemWithError(node, s_data);
    PyObject *record = data ? PyDict_GetItemWithError(data, a[3]) : NULL;
    PyObject *cls = record ? PyDict_GetItemWithError(record, s_cls) : NULL;
    if (cls == NULL)
        return PyErr_Occurred() ? NULL : miss(self, a, depth, a[3]);
    Py_INCREF(cls);
    return cls;
}

static int
floor_init(Floor *self, PyObject *args, PyObject *Py_UNUSED(kwds))
{
    PyObject *tree, *error;
    if (!PyArg_ParseTuple(args, "O!O:Floor", &PyDict_Type, &tree, &error))
        return -1;
    Py_INCREF(tree);
    Py_INCREF(error);
    Py_XSETREF(self->tree, tree);
    Py_XSETREF(self->error, error);
    return 0;
}

static void
floor_dealloc(Floor *self)
{
    Py_XDECREF(self->tree);
    Py_XDECREF(self->error);
    Py_TYPE(self)->tp_free((PyObject *)self);
}

static PyMethodDef floor_methods[] = {
    {"get_plugin", (PyCFunction)(void (*)(void))floor_get_plugin, METH_FASTCALL | METH_KEYWORDS,
     "get_plugin(os=None, series=None, model=None, chassis_type='single_rp')"},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject FloorType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_floor.Floor",
    .tp_basicsize = sizeof(Floor),
    .tp_dealloc = (destructor)floor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Floor(tree, error): get_plugin without validation.",
    .tp_methods = floor_methods,
    .tp_init = (initproc)floor_init,
    .tp_new = PyType_GenericNew,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_floor",
    .m_size = -1,
};

PyMODINIT_FUNC
PyInit__floor(void)
{
    const char *texts[4] = {"os", "series", "model", "chassis_type"};
    for (int i = 0; i < 4; i++)
        if ((names[i] = PyUnicode_InternFromString(texts[i])) == NULL)
            return NULL;
    if ((s_data = PyUnicode_InternFromString("data")) == NULL ||
        (s_cls = PyUnicode_InternFromString("cls")) == NULL ||
        (s_single_rp = PyUnicode_InternFromString("single_rp")) == NULL ||
        (s_slash = PyUnicode_InternFromString("/")) == NULL || PyType_Ready(&FloorType) < 0)
        return NULL;
    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL)
        return NULL;
    Py_INCREF(&FloorType);
    if (PyModule_AddObject(module, "Floor", (PyObject *)&FloorType) < 0) {
        Py_DECREF(&FloorType);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
