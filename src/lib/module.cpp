// The module `synaptor`: a network held whole by this process. Its two
// creation functions and its surface: what its Instance class offers and
// what `__all__` lists.
#include <string_view>

#include "instance/instance_core.hpp"
#include "lib/arg_binder.hpp"
#include "lib/conversions.hpp"
#include "lib/extension_module.hpp"
#include "lib/py_classes.hpp"
#include "lib/py_instance.hpp"
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

PyMethodDef functions[] = {
    {"create_from_yaml", method_function(&create_from_yaml), METH_FASTCALL | METH_KEYWORDS,
     "create_from_yaml(yaml_str, seed)\n--\n\nCreates an Instance from a YAML parameter "
     "document."},
    {"create_from_json", method_function(&create_from_json), METH_FASTCALL | METH_KEYWORDS,
     "create_from_json(json_str, seed)\n--\n\nCreates an Instance from a JSON parameter "
     "document."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef instance_methods[] = {
    instance_class::tick(),
    instance_class::tick_until(),
    instance_class::tick_until_ignore_output(),
    instance_class::apply_stimulus(),
    instance_class::save_state(),
    instance_class::restore_state(),
    instance_class::get_t(),
    instance_class::record(),
    instance_class::take_recording(),
    instance_class::stop_recording(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef instance_getset[] = {
    instance_class::reward_rate(),
    instance_class::non_coherent_stimulation_rate(),
    instance_class::recorded_sample_count(),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr ClassId kPublicClasses[] = {ClassId::Stimulus};

const ModuleSurface kSurface{
    .names = ModuleNames("synaptor"),
    .doc = "",
    .functions = functions,
    .instance_methods = instance_methods,
    .instance_getset = instance_getset,
    .public_classes = kPublicClasses,
    .public_panic_exception = false,
};

}  // namespace

}  // namespace synaptor

PyMODINIT_FUNC PyInit_synaptor() { return synaptor::init_extension_module<synaptor::kSurface>(); }
