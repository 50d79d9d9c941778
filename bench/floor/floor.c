/* The floor: the least any binding, or any program, can cost for the work of each benchmark case.
   Same call shapes and arithmetic as velk_trust, nothing else: no argument messages, no borrow
   flags, no record text. The store cases are the raw system calls of each operation, timed here
   in C. Built by bench/compare.py. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static double clamp(double x) { return x < 0.0 ? 0.0 : x > 1.0 ? 1.0 : x; }

static double real_arg(PyObject* o) {
  return PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
}

static int flag_arg(PyObject* o, int* out) {
  if (o == Py_True) { *out = 1; return 0; }
  if (o == Py_False) { *out = 0; return 0; }
  PyErr_SetString(PyExc_TypeError, "expected a bool");
  return -1;
}

static void t3_update(double* talent, double* training, double* temperament, int success, double magnitude) {
  const double m = clamp(magnitude), t = *training;
  const double delta = success ? (m * 0.05) * (1.0 - t) : (m * -0.1) * t;
  *temperament = clamp(*temperament + 0.5 * delta);
  *talent = clamp(*talent + 0.3 * delta);
  *training = clamp(t + delta);
}

/* ---------------------------------------------------------------- Tensor */

typedef struct {
  PyObject_HEAD
  double v[3];
} Tensor;

static PyObject* tensor_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (kwnames != NULL || n > 3) {
    PyErr_SetString(PyExc_TypeError, "Tensor() takes up to 3 positional arguments");
    return NULL;
  }
  double v[3] = {0.5, 0.5, 0.5};
  for (Py_ssize_t i = 0; i < n; ++i) {
    v[i] = real_arg(args[i]);
    if (v[i] == -1.0 && PyErr_Occurred()) return NULL;
    v[i] = clamp(v[i]);
  }
  PyTypeObject* tp = (PyTypeObject*)type;
  Tensor* self = (Tensor*)tp->tp_alloc(tp, 0);
  if (self == NULL) return NULL;
  memcpy(self->v, v, sizeof v);
  return (PyObject*)self;
}

static void tensor_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

/* The arguments (success, magnitude) of update_from_outcome; -1 with an error set. */
static int outcome_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, int* success, double* m) {
  if (nargs != 2 || kwnames != NULL) {
    PyErr_SetString(PyExc_TypeError, "update_from_outcome(success, magnitude)");
    return -1;
  }
  if (flag_arg(args[0], success) < 0) return -1;
  *m = real_arg(args[1]);
  return *m == -1.0 && PyErr_Occurred() ? -1 : 0;
}

static PyObject* tensor_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  int success;
  double m;
  if (outcome_args(args, nargs, kwnames, &success, &m) < 0) return NULL;
  Tensor* t = (Tensor*)self;
  t3_update(&t->v[0], &t->v[1], &t->v[2], success, m);
  Py_RETURN_NONE;
}

static PyObject* tensor_average(PyObject* self, PyObject* unused) {
  const double* v = ((Tensor*)self)->v;
  return PyFloat_FromDouble(((v[1] + v[0]) + v[2]) / 3.0);
}

static PyObject* tensor_get(PyObject* self, void* closure) {
  return PyFloat_FromDouble(((Tensor*)self)->v[(intptr_t)closure]);
}

static int tensor_set(PyObject* self, PyObject* value, void* closure) {
  if (value == NULL) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  const double v = real_arg(value);
  if (v == -1.0 && PyErr_Occurred()) return -1;
  ((Tensor*)self)->v[(intptr_t)closure] = clamp(v);
  return 0;
}

static PyMethodDef tensor_methods[] = {
    {"update_from_outcome", (PyCFunction)(void (*)(void))tensor_update, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"average", tensor_average, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef tensor_getset[] = {
    {"talent", tensor_get, tensor_set, NULL, (void*)0},
    {"training", tensor_get, tensor_set, NULL, (void*)1},
    {"temperament", tensor_get, tensor_set, NULL, (void*)2},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyObject* tensor_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return tensor_vectorcall((PyObject*)tp, &PyTuple_GET_ITEM(args, 0), (size_t)PyTuple_GET_SIZE(args), NULL);
}

static PyType_Slot tensor_slots[] = {
    {Py_tp_new, tensor_new},
    {Py_tp_dealloc, tensor_dealloc},
    {Py_tp_methods, tensor_methods},
    {Py_tp_getset, tensor_getset},
    {0, NULL},
};

static PyType_Spec tensor_spec = {"velk_floor.Tensor", sizeof(Tensor), 0, Py_TPFLAGS_DEFAULT, tensor_slots};

/* ---------------------------------------------------------------- Record */

/* A record-sized struct: the same fourteen values to_dict shows, with their texts as UTF-8. */
typedef struct {
  PyObject_HEAD
  char id[64], type[16], name[48];
  double t3[3], v3[3];
  char witnessed_by[2][32], has_witnessed[2][32];
  Py_ssize_t n_witnessed_by, n_has_witnessed;
  unsigned long long actions, successes, witnesses;
  struct timespec last_action;
} Record;

static PyObject* keys[14];
static const char* key_texts[14] = {"entity_id", "entity_type", "entity_name", "talent", "training", "temperament",
                                    "valuation", "veracity", "validity", "witnessed_by", "has_witnessed",
                                    "action_count", "success_count", "witness_count"};

static PyObject* record_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  Record* r = (Record*)tp->tp_alloc(tp, 0);
  if (r == NULL) return NULL;
  snprintf(r->id, sizeof r->id, "mcp:filesystem");
  snprintf(r->type, sizeof r->type, "mcp");
  snprintf(r->name, sizeof r->name, "filesystem");
  for (int k = 0; k < 3; ++k) r->t3[k] = r->v3[k] = 0.5;
  snprintf(r->witnessed_by[0], 32, "session:a");
  snprintf(r->witnessed_by[1], 32, "session:b");
  snprintf(r->has_witnessed[0], 32, "mcp:other");
  r->n_witnessed_by = 2;
  r->n_has_witnessed = 1;
  return (PyObject*)r;
}

static PyObject* record_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  int success;
  double m;
  if (outcome_args(args, nargs, kwnames, &success, &m) < 0) return NULL;
  Record* r = (Record*)self;
  r->actions += 1;
  if (success) r->successes += 1;
  t3_update(&r->t3[0], &r->t3[1], &r->t3[2], success, m);
  r->v3[0] = r->v3[0] + 0.01 > 1.0 ? 1.0 : r->v3[0] + 0.01;
  clock_gettime(CLOCK_REALTIME, &r->last_action);
  Py_RETURN_NONE;
}

static PyObject* text_list(char (*items)[32], Py_ssize_t n) {
  PyObject* list = PyList_New(n);
  if (list == NULL) return NULL;
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* s = PyUnicode_FromStringAndSize(items[k], (Py_ssize_t)strlen(items[k]));
    if (s == NULL) {
      Py_DECREF(list);
      return NULL;
    }
    PyList_SET_ITEM(list, k, s);
  }
  return list;
}

static PyObject* record_to_dict(PyObject* self, PyObject* unused) {
  Record* r = (Record*)self;
  PyObject* values[14] = {
      PyUnicode_FromStringAndSize(r->id, (Py_ssize_t)strlen(r->id)),
      PyUnicode_FromStringAndSize(r->type, (Py_ssize_t)strlen(r->type)),
      PyUnicode_FromStringAndSize(r->name, (Py_ssize_t)strlen(r->name)),
      PyFloat_FromDouble(r->t3[0]), PyFloat_FromDouble(r->t3[1]), PyFloat_FromDouble(r->t3[2]),
      PyFloat_FromDouble(r->v3[0]), PyFloat_FromDouble(r->v3[1]), PyFloat_FromDouble(r->v3[2]),
      text_list(r->witnessed_by, r->n_witnessed_by), text_list(r->has_witnessed, r->n_has_witnessed),
      PyLong_FromUnsignedLongLong(r->actions), PyLong_FromUnsignedLongLong(r->successes),
      PyLong_FromUnsignedLongLong(r->witnesses),
  };
  PyObject* dict = _PyDict_NewPresized(14);
  int failed = dict == NULL;
  for (int k = 0; k < 14; ++k) {
    if (values[k] == NULL || (!failed && PyDict_SetItem(dict, keys[k], values[k]) < 0)) failed = 1;
    Py_XDECREF(values[k]);
  }
  if (failed) {
    Py_XDECREF(dict);
    return NULL;
  }
  return dict;
}

static PyMethodDef record_methods[] = {
    {"update_from_outcome", (PyCFunction)(void (*)(void))record_update, METH_FASTCALL | METH_KEYWORDS, NULL},
    {"to_dict", record_to_dict, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot record_slots[] = {
    {Py_tp_new, record_new},
    {Py_tp_dealloc, tensor_dealloc},
    {Py_tp_methods, record_methods},
    {0, NULL},
};

static PyType_Spec record_spec = {"velk_floor.Record", sizeof(Record), 0, Py_TPFLAGS_DEFAULT, record_slots};

/* ---------------------------------------------------------------- system calls */

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static char buffer[1 << 20];

static int read_whole(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
  }
  close(fd);
  return n < 0 ? -1 : 0;
}

/* Writes text to a new temporary tmp and renames it over path; -1 with errno on failure. */
static int replace_named(const char* path, const char* tmp, const char* text, Py_ssize_t size) {
  const int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 || write(fd, text, (size_t)size) != size || close(fd) != 0 || rename(tmp, path) != 0) return -1;
  return 0;
}

/* stat(path, n): ns per status of a path. */
static PyObject* floor_stat(PyObject* m, PyObject* args) {
  const char* path;
  int n;
  if (!PyArg_ParseTuple(args, "si", &path, &n)) return NULL;
  struct stat st;
  const int64_t start = now_ns();
  for (int k = 0; k < n; ++k) stat(path, &st);
  return PyFloat_FromDouble((double)(now_ns() - start) / n);
}

/* The module's own way with one file: read it after a status check, by its size; replace it by an
   unnamed temporary (O_TMPFILE) that is named, then renamed over it. Names are relative to the
   directory descriptor at: the locked directory's in a read-modify-write, else AT_FDCWD. */
static int read_checked(int at, const char* path) {
  const int fd = openat(at, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || read(fd, buffer, (size_t)st.st_size + 1) < 0) return -1;
  close(fd);
  return 0;
}

static int replace_unnamed(int at, const char* dir, const char* path, const char* tmp, const char* text,
                           Py_ssize_t size) {
  const int fd = openat(at, dir, O_WRONLY | O_TMPFILE | O_CLOEXEC, 0666);
  if (fd < 0 || write(fd, text, (size_t)size) != size || linkat(fd, "", at, tmp, AT_EMPTY_PATH) != 0 ||
      renameat(at, tmp, at, path) != 0) {
    return -1;
  }
  close(fd);
  return 0;
}

static const char* base_name(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != NULL ? slash + 1 : path;
}

/* read(path, n[, as_module]): ns per open/read/close of one file; with as_module, the read is the
   module's own (read_checked). */
static PyObject* floor_read(PyObject* m, PyObject* args) {
  const char* path;
  int n;
  int as_module = 0;
  if (!PyArg_ParseTuple(args, "si|p", &path, &n, &as_module)) return NULL;
  const int64_t start = now_ns();
  for (int k = 0; k < n; ++k) {
    if ((as_module ? read_checked(AT_FDCWD, path) : read_whole(path)) < 0) return PyErr_SetFromErrno(PyExc_OSError);
  }
  return PyFloat_FromDouble((double)(now_ns() - start) / n);
}

/* save(directory, path, data, n[, as_module]): ns per temporary write and rename over path; with
   as_module, the write is the module's own (replace_unnamed). */
static PyObject* floor_save(PyObject* m, PyObject* args) {
  const char* dir;
  const char* path;
  const char* data;
  Py_ssize_t size;
  int n;
  int as_module = 0;
  if (!PyArg_ParseTuple(args, "ssy#i|p", &dir, &path, &data, &size, &n, &as_module)) return NULL;
  char tmp[4096];
  snprintf(tmp, sizeof tmp, "%s.floor.tmp", path);
  const int64_t start = now_ns();
  for (int k = 0; k < n; ++k) {
    const int done =
        as_module ? replace_unnamed(AT_FDCWD, dir, path, tmp, data, size) : replace_named(path, tmp, data, size);
    if (done < 0) return PyErr_SetFromErrno(PyExc_OSError);
  }
  return PyFloat_FromDouble((double)(now_ns() - start) / n);
}

/* modify(directory, files, n[, as_module]): ns per read-modify-write of files, a list of (path,
   text), under an exclusive flock of the directory: every file read, then every file written to a
   temporary and renamed over it, in one loop, as update (one file) and witness (two) do. With
   as_module, the lock also asks whether another process waits for it (as the module does, to let
   such a waiter go first), and the reads and writes are the module's own (read_checked,
   replace_unnamed, through the locked directory's descriptor): what its design costs in system
   calls alone. */
static PyObject* floor_modify(PyObject* m, PyObject* args) {
  const char* dir;
  PyObject* list;
  int n;
  int as_module = 0;
  if (!PyArg_ParseTuple(args, "sO!i|p", &dir, &PyList_Type, &list, &n, &as_module)) return NULL;
  enum { kMaxFiles = 4 };
  const Py_ssize_t count = PyList_GET_SIZE(list);
  if (count < 1 || count > kMaxFiles) return PyErr_Format(PyExc_ValueError, "1 to %d files", kMaxFiles);
  const char* paths[kMaxFiles];
  const char* texts[kMaxFiles];
  Py_ssize_t sizes[kMaxFiles];
  char tmps[kMaxFiles][4096];
  for (Py_ssize_t k = 0; k < count; ++k) {
    if (!PyArg_ParseTuple(PyList_GET_ITEM(list, k), "sy#", &paths[k], &texts[k], &sizes[k])) return NULL;
    snprintf(tmps[k], sizeof tmps[k], "%s.floor.tmp", paths[k]);
  }
  const int64_t start = now_ns();
  for (int k = 0; k < n; ++k) {
    const int lock = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) return PyErr_SetFromErrno(PyExc_OSError);
    if (as_module) {
      struct flock waiting = {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 1};
      if (fcntl(lock, F_OFD_GETLK, &waiting) != 0) return PyErr_SetFromErrno(PyExc_OSError);
    }
    for (Py_ssize_t f = 0; f < count; ++f) {
      const int done = as_module ? read_checked(lock, base_name(paths[f])) : read_whole(paths[f]);
      if (done < 0) return PyErr_SetFromErrno(PyExc_OSError);
    }
    for (Py_ssize_t f = 0; f < count; ++f) {
      const int done = as_module ? replace_unnamed(lock, ".", base_name(paths[f]), base_name(tmps[f]), texts[f], sizes[f])
                                 : replace_named(paths[f], tmps[f], texts[f], sizes[f]);
      if (done < 0) return PyErr_SetFromErrno(PyExc_OSError);
    }
    close(lock);
  }
  return PyFloat_FromDouble((double)(now_ns() - start) / n);
}

/* scan(directory, n): ns per listing that reads every *.json file of the directory. */
static PyObject* floor_scan(PyObject* m, PyObject* args) {
  const char* dir;
  int n;
  if (!PyArg_ParseTuple(args, "si", &dir, &n)) return NULL;
  char path[4096];
  const int64_t start = now_ns();
  for (int k = 0; k < n; ++k) {
    DIR* d = opendir(dir);
    if (d == NULL) return PyErr_SetFromErrno(PyExc_OSError);
    struct dirent* e;
    while ((e = readdir(d)) != NULL) {
      const size_t len = strlen(e->d_name);
      if (len < 6 || strcmp(e->d_name + len - 5, ".json") != 0) continue;
      snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
      if (read_whole(path) < 0) {
        closedir(d);
        return PyErr_SetFromErrno(PyExc_OSError);
      }
    }
    closedir(d);
  }
  return PyFloat_FromDouble((double)(now_ns() - start) / n);
}

static PyMethodDef floor_functions[] = {
    {"read", floor_read, METH_VARARGS, NULL},
    {"save", floor_save, METH_VARARGS, NULL},
    {"modify", floor_modify, METH_VARARGS, NULL},
    {"stat", floor_stat, METH_VARARGS, NULL},
    {"scan", floor_scan, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "velk_floor", NULL, -1, floor_functions};

PyMODINIT_FUNC PyInit_velk_floor(void) {
  PyObject* m = PyModule_Create(&floor_module);
  if (m == NULL) return NULL;
  for (int k = 0; k < 14; ++k) {
    keys[k] = PyUnicode_InternFromString(key_texts[k]);
    if (keys[k] == NULL) return NULL;
  }
  PyTypeObject* tensor = (PyTypeObject*)PyType_FromSpec(&tensor_spec);
  if (tensor == NULL) return NULL;
  tensor->tp_vectorcall = tensor_vectorcall;
  PyTypeObject* record = (PyTypeObject*)PyType_FromSpec(&record_spec);
  if (record == NULL || PyModule_AddObject(m, "Tensor", (PyObject*)tensor) < 0 ||
      PyModule_AddObject(m, "Record", (PyObject*)record) < 0) {
    return NULL;
  }
  return m;
}
