// What tells the two extension modules apart, and the one initialisation both
// run. `synaptor` holds a whole network in one process; `synaptor_mpi` spreads
// one over the processes of an MPI communicator. Both are built from the same
// classes, methods, conversions and messages; each module's file states only
// its ModuleSurface: its name and docstring, its functions, which methods and
// attributes its Instance class has and what its `__all__` lists. Python
// thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "lib/arg_binder.hpp"
#include "lib/module_state.hpp"
#include "lib/runtime_tls.hpp"

namespace synaptor {

/// The name of a class as Python shows it, without its module.
constexpr std::string_view class_name(ClassId id) {
    switch (id) {
        case ClassId::Instance:
            return "Instance";
        case ClassId::Stimulus:
            return "Stimulus";
        case ClassId::TickResult:
            return "TickResult";
        case ClassId::BatchTickResult:
            return "BatchTickResult";
        case ClassId::StateSnapshot:
            return "StateSnapshot";
        case ClassId::Recording:
            return "Recording";
        case ClassId::RecordedArray:
            return "RecordedArray";
        case ClassId::Synapses:
            return "Synapses";
        case ClassId::SynapseRecording:
            return "SynapseRecording";
        case ClassId::BatchTickArrays:
            return "BatchTickArrays";
        case ClassId::Count:
            break;
    }
    return "";
}

/// A module's name and the full names of its classes ("synaptor.Instance"),
/// made at compile time and kept for the whole process: a type object keeps
/// pointing at the name it was made from on the older interpreters.
class ModuleNames {
public:
    consteval explicit ModuleNames(std::string_view module) {
        copy_into(module_, module, "");
        for (std::size_t id = 0; id < kClassCount; ++id) {
            copy_into(classes_[id], module, class_name(static_cast<ClassId>(id)));
        }
    }

    const char* module() const { return module_.data(); }
    const char* of(ClassId id) const { return classes_[static_cast<std::size_t>(id)].data(); }

private:
    static constexpr std::size_t kClassCount = static_cast<std::size_t>(ClassId::Count);
    static constexpr std::size_t kMaxLength = 48;
    using Text = std::array<char, kMaxLength>;

    /// `module` alone, or "module.cls"; a name too long for the array fails
    /// the compilation.
    static consteval void copy_into(Text& out, std::string_view module, std::string_view cls) {
        std::size_t n = 0;
        for (char c : module) out.at(n++) = c;
        if (!cls.empty()) out.at(n++) = '.';
        for (char c : cls) out.at(n++) = c;
        out.at(n) = '\0';
    }

    Text module_{};
    std::array<Text, kClassCount> classes_{};
};

/// Everything by which one extension module differs from the other. The
/// tables are sentinel-terminated and live as long as the process.
struct ModuleSurface {
    ModuleNames names;
    const char* doc;
    /// Each also listed in `__all__`, in this order.
    PyMethodDef* functions;
    PyMethodDef* instance_methods;
    PyGetSetDef* instance_getset;
    /// Listed in `__all__` after the functions, in this order.
    std::span<const ClassId> public_classes;
    /// Whether PanicException is an attribute of the module, listed last in
    /// `__all__`; otherwise it is reached only through a raised exception.
    bool public_panic_exception;
    /// The full name of another module's Stimulus class ("synaptor.Stimulus")
    /// that apply_stimulus also takes, read through its attributes since the
    /// two modules do not share type objects; null takes only this module's.
    const char* foreign_stimulus_class = nullptr;
};

/// Binds the arguments of a module's create_from_yaml or create_from_json and
/// converts the first two, the document's text and the seed; false with an
/// exception set.
bool bind_creation(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** bound, std::string_view* text,
                   std::uint64_t* seed);

/// The module `surface` describes, filled into a new module object by its
/// multi-phase initialisation: 0, or -1 with an exception set.
int exec_module(PyObject* module, const ModuleSurface& surface);

/// The definition of the module `surface` describes, with `slots` (which run
/// exec_module) as its initialisation.
PyModuleDef module_definition(const ModuleSurface& surface, PyModuleDef_Slot* slots);

/// The body of a module's `PyInit_` function.
template <const ModuleSurface& Surface>
PyObject* init_extension_module() {
    // First, before anything on any thread throws.
    (void)place_runtime_tls_statically();
    // The interpreter keeps pointing at both for the life of the process.
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec,
         slot_function(+[](PyObject* module) { return exec_module(module, Surface); })},
        {0, nullptr},
    };
    static PyModuleDef definition = module_definition(Surface, slots);
    return PyModuleDef_Init(&definition);
}

}  // namespace synaptor
