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

using CreateType = PyTypeObject* (*)(TypeId);

struct ClassEntry {
  TypeId id;
  CreateType create;
};

// Every class of the module, in creation order.
constexpr ClassEntry kClasses[] = {
    {TypeId::ElasticHashMap, create_map_type},
    {TypeId::FunnelHashMap, create_map_type},
    {TypeId::ElasticHashSet, create_set_type},
    {TypeId::FunnelHashSet, create_set_type},
    {TypeId::ElasticKeys, create_view_type},
    {TypeId::FunnelKeys, create_view_type},
    {TypeId::ElasticValues, create_view_type},
    {TypeId::FunnelValues, create_view_type},
    {TypeId::ElasticItems, create_view_type},
    {TypeId::FunnelItems, create_view_type},
    {TypeId::ElasticKeyIter, create_iter_type},  {TypeId::ElasticValueIter, create_iter_type},
    {TypeId::ElasticItemIter, create_iter_type}, {TypeId::ElasticSetIter, create_iter_type},
    {TypeId::FunnelKeyIter, create_iter_type},   {TypeId::FunnelValueIter, create_iter_type},
    {TypeId::FunnelItemIter, create_iter_type},  {TypeId::FunnelSetIter, create_iter_type},
};

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

void create_types() {
  for (const ClassEntry& c : kClasses) {
    auto& slot = g_types[static_cast<std::size_t>(c.id)];
    if (slot.load(std::memory_order_acquire) == nullptr) {
      slot.store(c.create(c.id), std::memory_order_release);
    }
  }
  if (g_panic_type.load(std::memory_order_acquire) == nullptr) {
    PyObject* t = PyErr_NewExceptionWithDoc(
        "quarlex.PanicException",
        "An internal invariant of quarlex broke; the message names it.", PyExc_BaseException,
        nullptr);
    if (t == nullptr) throw_error();
    g_panic_type.store(t, std::memory_order_release);
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
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
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

PyTypeObject* make_type(PyType_Spec& spec, const char* class_name) {
  PyObject* t = PyType_FromSpec(&spec);
  if (t == nullptr) {
    PyErr_Clear();
    panic(std::string("An error occurred while initializing class ") + class_name);
  }
  return reinterpret_cast<PyTypeObject*>(t);
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
