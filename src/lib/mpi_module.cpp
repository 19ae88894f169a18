// The module `synaptor_mpi`, the companion of `synaptor` for a network spread
// over the processes of an MPI communicator: the same classes, with creation
// functions that are collective over a communicator of mpi4py, an Instance
// that closes collectively and tells its rank, and state files that every
// process writes and reads together. Recordings, of neurons and of synapse
// weights, are gathered whole on every process.
// mpi4py is used at run time only (its communicator crosses as a Fortran
// handle), so the module is built against the MPI library alone.
#include <string>
#include <string_view>

#include "distributed/distributed_instance.hpp"
#include "lib/arg_binder.hpp"
#include "lib/conversions.hpp"
#include "lib/extension_module.hpp"
#include "lib/py_classes.hpp"
#include "lib/py_instance.hpp"

namespace synaptor {

namespace {

/// The Fortran handle of `comm` (MPI.COMM_WORLD when None) and the version
/// string of the MPI library mpi4py runs on; false with an exception set.
bool communicator_of(PyObject* comm, std::int64_t* handle, std::string* library) {
    PyRef mpi(PyImport_ImportModule("mpi4py.MPI"));
    if (!mpi) return false;
    PyRef world;
    if (comm == nullptr || comm == Py_None) {
        world = PyRef(PyObject_GetAttrString(mpi.get(), "COMM_WORLD"));
        if (!world) return false;
        comm = world.get();
    }
    PyRef fortran(PyObject_CallMethod(comm, "py2f", nullptr));
    if (!fortran) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "comm must be an mpi4py communicator (or None)");
        return false;
    }
    const long long value = PyLong_AsLongLong(fortran.get());
    if (value == -1 && PyErr_Occurred()) return false;
    *handle = value;
    PyRef version(PyObject_CallMethod(mpi.get(), "Get_library_version", nullptr));
    if (!version) return false;
    const char* text = PyUnicode_AsUTF8(version.get());
    if (text == nullptr) return false;
    *library = text;
    while (!library->empty() && (library->back() == '\n' || library->back() == '\0')) {
        library->pop_back();
    }
    return true;
}

const char* const kYamlParams[] = {"yaml_str", "seed", "comm"};
const char* const kJsonParams[] = {"json_str", "seed", "comm"};
const Signature kCreateFromYaml{"create_from_yaml()", kYamlParams, 3, 2};
const Signature kCreateFromJson{"create_from_json()", kJsonParams, 3, 2};

template <const Signature& signature, DocumentFormat format>
PyObject* create_from(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
    return guarded<PyObject*>(module, nullptr, [&]() -> PyObject* {
        PyObject* bound[3];
        DistributedCreation creation;
        if (!bind_creation(signature, args, nargsf, kwnames, bound, &creation.text,
                           &creation.seed)) {
            return nullptr;
        }
        creation.format = format;
        if (!communicator_of(bound[2], &creation.fortran_comm, &creation.caller_mpi_library)) {
            return nullptr;
        }
        std::optional<std::string> crowded;
        Result<std::unique_ptr<Instance>> instance =
            create_distributed_instance(creation, &crowded);
        if (!instance) {
            raise_value_error(instance.error());
            return nullptr;
        }
        PyRef wrapped(wrap_instance(module, std::move(instance).value()));
        if (!wrapped) return nullptr;
        // Warnings may be turned into errors; the instance is closed with
        // its wrapper then.
        if (crowded && PyErr_WarnEx(PyExc_RuntimeWarning, crowded->c_str(), 1) < 0) return nullptr;
        return wrapped.release();
    });
}

PyMethodDef functions[] = {
    {"create_from_yaml", method_function(&create_from<kCreateFromYaml, DocumentFormat::Yaml>),
     METH_FASTCALL | METH_KEYWORDS,
     "create_from_yaml(yaml_str, seed, comm=None)\n--\n\nCollective over comm (an mpi4py "
     "communicator, MPI.COMM_WORLD when None): creates an Instance from a YAML parameter "
     "document, holding this rank's share of the network."},
    {"create_from_json", method_function(&create_from<kCreateFromJson, DocumentFormat::Json>),
     METH_FASTCALL | METH_KEYWORDS,
     "create_from_json(json_str, seed, comm=None)\n--\n\nCollective over comm (an mpi4py "
     "communicator, MPI.COMM_WORLD when None): creates an Instance from a JSON parameter "
     "document, holding this rank's share of the network."},
    {nullptr, nullptr, 0, nullptr},
};

// Beyond what every Instance has: a collective close, the facts of the
// spread, recording, synapses and the learning switch.
auto instance_methods = instance_class::methods_with({
    instance_class::close(true),
    instance_class::save_state(true),
    instance_class::restore_state(true),
    instance_class::record(),
    instance_class::take_recording(),
    instance_class::stop_recording(),
    instance_class::synapses(),
    instance_class::set_weights(),
    instance_class::record_synapses(),
    instance_class::take_synapse_recording(),
    instance_class::stop_synapse_recording(),
});
auto instance_getset = instance_class::attributes_with({
    instance_class::rank(),
    instance_class::num_ranks(),
    instance_class::num_partitions(),
    instance_class::recorded_sample_count(),
    instance_class::layers(),
    instance_class::plasticity_enabled(true),
    instance_class::recorded_synapse_sample_count(),
});

constexpr ClassId kPublicClasses[] = {ClassId::Stimulus, ClassId::Instance, ClassId::TickResult,
                                      ClassId::BatchTickResult, ClassId::StateSnapshot};

const ModuleSurface kSurface{
    .names = ModuleNames("synaptor_mpi"),
    .doc =
        "Networks of synaptor spread over the processes of an MPI communicator: every rank "
        "runs the same script, holds its share of the partitions and gets the results one "
        "process would give.",
    .functions = functions,
    .instance_methods = instance_methods.data(),
    .instance_getset = instance_getset.data(),
    .public_classes = kPublicClasses,
    .public_panic_exception = true,
    .foreign_stimulus_class = "synaptor.Stimulus",
};

}  // namespace

}  // namespace synaptor

PyMODINIT_FUNC PyInit_synaptor_mpi() {
    return synaptor::init_extension_module<synaptor::kSurface>();
}
