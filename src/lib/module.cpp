// Module initialisation of `synaptor` and its two creation functions.
#include <string_view>

#include "instance/instance_core.hpp"
#include "lib/arg_binder.hpp"
#include "lib/conversions.hpp"
#include "lib/module_state.hpp"
#include "lib/py_classes.hpp"
#include "lib/runtime_tls.hpp"
#include "params/params_reader.hpp"

namespace synaptor {

namespace {

using Reader = Result<InstanceParams> (*)(std::string_view);

// Reads the document, creates the core and wraps both with the stimulus state.
PyObject* create_instance(PyObject* module, const Signature& signature, Reader reader,
                          PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded<PyObject*>(module, nullptr, [&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return nullptr;
        std::string_view text;
        if (!convert_text(bound[0], &text)) {
            fail_argument(signature.names[0]);
            return nullptr;
        }
        std::uint64_t seed;
        if (!convert_u64(bound[1], &seed)) {
            fail_argument(signature.names[1]);
            return nullptr;
        }

        Result<InstanceParams> params = reader(text);
        if (!params) {
            raise_value_error(params.error());
            return nullptr;
        }
        Result<std::unique_ptr<InstanceCore>> core =
            InstanceCore::create(std::move(params).value());
        if (!core) {
            raise_value_error(core.error());
            return nullptr;
        }
        return wrap_instance(module, std::make_unique<Instance>(std::move(core).value(), seed));
    });
}

const char* const kYamlParams[] = {"yaml_str", "seed"};
const char* const kJsonParams[] = {"json_str", "seed"};
const Signature kCreateFromYaml{"create_from_yaml()", kYamlParams, 2};
const Signature kCreateFromJson{"create_from_json()", kJsonParams, 2};

PyObject* create_from_yaml(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
    return create_instance(module, kCreateFromYaml, params_from_yaml, args, nargsf, kwnames);
}

PyObject* create_from_json(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames) {
    return create_instance(module, kCreateFromJson, params_from_json, args, nargsf, kwnames);
}

PyMethodDef create_from_yaml_def{
    "create_from_yaml", method_function(&create_from_yaml), METH_FASTCALL | METH_KEYWORDS,
    "create_from_yaml(yaml_str, seed)\n--\n\nCreates an Instance from a YAML parameter document."};
PyMethodDef create_from_json_def{
    "create_from_json", method_function(&create_from_json), METH_FASTCALL | METH_KEYWORDS,
    "create_from_json(json_str, seed)\n--\n\nCreates an Instance from a JSON parameter document."};

PyModuleDef module_def{
    PyModuleDef_HEAD_INIT,
    "synaptor",
    "",
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    nullptr,
    module_traverse,
    module_clear,
    module_free,
};

PyObject* init_module() {
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module.get()));
    *state = ModuleState{};
    PyRef name(PyUnicode_FromString("synaptor"));
    if (!name) return nullptr;
    if (!add_public(module.get(), "create_from_yaml",
                    PyCFunction_NewEx(&create_from_yaml_def, module.get(), name.get())) ||
        !add_public(module.get(), "create_from_json",
                    PyCFunction_NewEx(&create_from_json_def, module.get(), name.get()))) {
        return nullptr;
    }
    PyTypeObject* stimulus = class_type(module.get(), ClassId::Stimulus);
    if (stimulus == nullptr) return nullptr;
    Py_INCREF(stimulus);
    if (!add_public(module.get(), "Stimulus", reinterpret_cast<PyObject*>(stimulus)))
        return nullptr;
    return module.release();
}

}  // namespace

}  // namespace synaptor

PyMODINIT_FUNC PyInit_synaptor() {
    // First, before anything on any thread throws.
    (void)synaptor::place_runtime_tls_statically();
    return synaptor::guarded<PyObject*>(nullptr, nullptr, [] { return synaptor::init_module(); });
}
