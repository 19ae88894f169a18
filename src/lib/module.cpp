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

const char* const kYamlParams[] = {"yaml_str", "seed"};
const char* const kJsonParams[] = {"json_str", "seed"};
const Signature kCreateFromYaml{"create_from_yaml()", kYamlParams, 2};
const Signature kCreateFromJson{"create_from_json()", kJsonParams, 2};

// Reads the document, creates the core and wraps both with the stimulus state.
template <const Signature& signature, Reader reader>
PyObject* create_from(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
    return guarded<PyObject*>(module, nullptr, [&]() -> PyObject* {
        PyObject* bound[2];
        std::string_view text;
        std::uint64_t seed;
        if (!bind_creation(signature, args, nargsf, kwnames, bound, &text, &seed)) return nullptr;
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

PyMethodDef functions[] = {
    {"create_from_yaml", method_function(&create_from<kCreateFromYaml, params_from_yaml>),
     METH_FASTCALL | METH_KEYWORDS,
     "create_from_yaml(yaml_str, seed)\n--\n\nCreates an Instance from a YAML parameter "
     "document."},
    {"create_from_json", method_function(&create_from<kCreateFromJson, params_from_json>),
     METH_FASTCALL | METH_KEYWORDS,
     "create_from_json(json_str, seed)\n--\n\nCreates an Instance from a JSON parameter "
     "document."},
    {nullptr, nullptr, 0, nullptr},
};

// Beyond what every Instance has: state files, recording, synapses, close.
auto instance_methods = instance_class::methods_with({
    instance_class::save_state(),
    instance_class::restore_state(),
    instance_class::record(),
    instance_class::take_recording(),
    instance_class::stop_recording(),
    instance_class::synapses(),
    instance_class::set_weights(),
    instance_class::record_synapses(),
    instance_class::take_synapse_recording(),
    instance_class::stop_synapse_recording(),
    instance_class::close(false),
});
auto instance_getset = instance_class::attributes_with(
    {instance_class::recorded_sample_count(), instance_class::layers(),
     instance_class::plasticity_enabled(), instance_class::recorded_synapse_sample_count()});

constexpr ClassId kPublicClasses[] = {ClassId::Stimulus};

const ModuleSurface kSurface{
    .names = ModuleNames("synaptor"),
    .doc = "",
    .functions = functions,
    .instance_methods = instance_methods.data(),
    .instance_getset = instance_getset.data(),
    .public_classes = kPublicClasses,
    .public_panic_exception = false,
};

}  // namespace

}  // namespace synaptor

PyMODINIT_FUNC PyInit_synaptor() { return synaptor::init_extension_module<synaptor::kSurface>(); }
