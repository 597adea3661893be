// Module entry: the multi-phase definition, the execution step that creates
// every class once per process, adds the public collections as attributes and
// registers the collections and views with the abstract base classes of
// collections.abc.
#include <array>
#include <atomic>
#include <string>
#include <vector>

#include "quarlex/python/boundary.hpp"
#include "quarlex/python/iter.hpp"
#include "quarlex/python/map.hpp"
#include "quarlex/python/set.hpp"
#include "quarlex/python/types.hpp"

namespace quarlex::py {
namespace {

constexpr const char* kModuleDoc =
    "Register the four public collections and their `collections.abc`\n"
    "membership. Iterator and view pyclasses are implementation types:\n"
    "instances flow out of `__iter__`/`keys()`/\u2026 without being module\n"
    "attributes, and the views are registered as ABC virtual subclasses here\n"
    "so `isinstance(m.keys(), KeysView)` holds.";

struct PublicClass {
  TypeId id;
  const char* name;
};

// Module attributes, in the order they are added.
constexpr PublicClass kPublic[] = {
    {TypeId::ElasticHashMap, "ElasticHashMap"},
    {TypeId::FunnelHashMap, "FunnelHashMap"},
    {TypeId::ElasticHashSet, "ElasticHashSet"},
    {TypeId::FunnelHashSet, "FunnelHashSet"},
};

struct Registration {
  const char* abc;
  TypeId id;
};

// ABC registrations, in the order they are made.
constexpr Registration kRegistrations[] = {
    {"MutableMapping", TypeId::ElasticHashMap},
    {"MutableMapping", TypeId::FunnelHashMap},
    {"MutableSet", TypeId::ElasticHashSet},
    {"MutableSet", TypeId::FunnelHashSet},
    {"KeysView", TypeId::ElasticKeys},
    {"KeysView", TypeId::FunnelKeys},
    {"ValuesView", TypeId::ElasticValues},
    {"ValuesView", TypeId::FunnelValues},
    {"ItemsView", TypeId::ElasticItems},
    {"ItemsView", TypeId::FunnelItems},
};

// Once-initialised class objects, shared by every thread for the life of
// the process.
std::atomic<PyTypeObject*> g_types[static_cast<std::size_t>(TypeId::Count)];
std::atomic<PyObject*> g_panic_type{nullptr};

// The internal-failure type comes first: a stop while the classes are being
// created must already be convertible. A class whose creation fails leaves
// the interpreter's error to end the import.
void create_types() {
  if (g_panic_type.load(std::memory_order_acquire) == nullptr) {
    PyObject* t = PyErr_NewExceptionWithDoc(
        "quarlex.PanicException",
        "An internal invariant of quarlex broke; the message names it.", PyExc_BaseException,
        nullptr);
    if (t == nullptr) throw_error();
    g_panic_type.store(t, std::memory_order_release);
  }
  for (const auto family : {map_classes(), set_classes(), view_classes(), iter_classes()}) {
    for (const ClassMaker& c : family) {
      auto& slot = g_types[static_cast<std::size_t>(c.id)];
      if (slot.load(std::memory_order_acquire) == nullptr) {
        slot.store(c.create(), std::memory_order_release);
      }
    }
  }
}

int module_exec(PyObject* module) noexcept {
  return guard<int>(-1, [&] {
    if (module == nullptr) throw_error();
    if (!PyModule_Check(module)) raise(PyExc_TypeError, "expected a module object");
    create_types();
    for (const PublicClass& c : kPublic) {
      PyObject* type = reinterpret_cast<PyObject*>(type_object(c.id));
      if (PyModule_AddObjectRef(module, c.name, type) < 0) throw_error();
    }
    Ref name = Ref::check(PyUnicode_FromString("collections.abc"));
    Ref abc = Ref::check(PyImport_Import(name.get()));
    std::vector<Ref> classes;
    classes.reserve(std::size(kRegistrations));
    for (const Registration& r : kRegistrations) {
      classes.push_back(Ref::borrow(reinterpret_cast<PyObject*>(type_object(r.id))));
    }
    for (std::size_t i = 0; i < std::size(kRegistrations); ++i) {
      Ref base = Ref::check(PyObject_GetAttrString(abc.get(), kRegistrations[i].abc));
      Ref done = Ref::check(PyObject_CallMethod(base.get(), "register", "O", classes[i].get()));
    }
    return 0;
  });
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    QUARLEX_MOD_GIL_NOT_USED_SLOT
    // The types are created once per process and shared, so a second
    // interpreter must refuse the import instead of sharing them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "quarlex",
    kModuleDoc,
    0,
    nullptr,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyTypeObject* type_object(TypeId id) noexcept {
  return g_types[static_cast<std::size_t>(id)].load(std::memory_order_acquire);
}

PyTypeObject* make_type(PyType_Spec& spec, vectorcallfunc call) {
  auto* type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&spec)).release());
  type->tp_vectorcall = call;
  return type;
}

PyObject* panic_exception_type() noexcept { return g_panic_type.load(std::memory_order_acquire); }

void set_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) Py_FatalError("uncaught panic at ffi boundary");
  PyErr_SetString(type, message);
}

void set_alloc_failure(const AllocFailure& failure) noexcept {
  PyErr_SetString(PyExc_MemoryError, failure.what());
}

}  // namespace quarlex::py

PyMODINIT_FUNC PyInit_quarlex(void) { return PyModuleDef_Init(&quarlex::py::kModuleDef); }
