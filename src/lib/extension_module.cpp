#include "lib/extension_module.hpp"

#include <string>

#include "lib/conversions.hpp"

namespace synaptor {

namespace {

bool add_surface(PyObject* module, const ModuleSurface& surface) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    *state = ModuleState{};
    state->surface = &surface;
    PyRef name(PyUnicode_FromString(surface.names.module()));
    if (!name) return false;
    for (PyMethodDef* function = surface.functions; function->ml_name != nullptr; ++function) {
        if (!add_public(module, function->ml_name,
                        PyCFunction_NewEx(function, module, name.get()))) {
            return false;
        }
    }
    for (ClassId id : surface.public_classes) {
        PyTypeObject* type = class_type(module, id);
        if (type == nullptr) return false;
        Py_INCREF(type);
        const std::string type_name(class_name(id));
        if (!add_public(module, type_name.c_str(), reinterpret_cast<PyObject*>(type))) {
            return false;
        }
    }
    if (!surface.public_panic_exception) return true;
    PyObject* panic_type = panic_exception_type(module);
    if (panic_type == nullptr) return false;
    Py_INCREF(panic_type);
    return add_public(module, "PanicException", panic_type);
}

}  // namespace

bool bind_creation(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** bound, std::string_view* text,
                   std::uint64_t* seed) {
    if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return false;
    if (!convert_text(bound[0], text)) return fail_argument(signature.names[0]);
    if (!convert_u64(bound[1], seed)) return fail_argument(signature.names[1]);
    return true;
}

int exec_module(PyObject* module, const ModuleSurface& surface) {
    return guarded<int>(nullptr, -1, [&] { return add_surface(module, surface) ? 0 : -1; });
}

PyModuleDef module_definition(const ModuleSurface& surface, PyModuleDef_Slot* slots) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT,
        surface.names.module(),
        surface.doc,
        static_cast<Py_ssize_t>(sizeof(ModuleState)),
        nullptr,
        slots,
        module_traverse,
        module_clear,
        module_free,
    };
}

}  // namespace synaptor
