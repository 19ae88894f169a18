// The Python class Instance: a running network with its stimulus state. Every
// method takes access to the object first (exclusive for the changing ones),
// then binds and converts its arguments, then calls the C++ Instance. The
// methods that need the whole network in this process are in
// py_instance_local.cpp.
#include "lib/py_instance.hpp"

#include <cstdint>
#include <new>

#include "instance/tick_exchange.hpp"
#include "lib/conversions.hpp"
#include "lib/py_classes.hpp"

namespace synaptor {

Instance* open_instance(InstanceObject* obj) {
    if (obj->instance == nullptr) PyErr_SetString(PyExc_ValueError, "the instance is closed");
    return obj->instance;
}

PyObject* convert_failed(const char* name) {
    fail_argument(name);
    return nullptr;
}

namespace {

const char* const kTickParams[] = {"spiking_in_channel_ids", "force_spiking_out_channel_ids",
                                   "force_spiking_nids", "reward", "extract_state_snapshot"};
const Signature kTick{"Instance.tick()", kTickParams, 5};

PyObject* instance_tick(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    return run_method<5>(
        self, kTick, args, nargsf, kwnames,
        [](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
            TickInput input;
            if (!convert_u64_list(bound[0], &input.spiking_in_channel_ids)) {
                return convert_failed(kTickParams[0]);
            }
            if (!convert_u64_list(bound[1], &input.force_spiking_out_channel_ids)) {
                return convert_failed(kTickParams[1]);
            }
            if (!convert_u64_list(bound[2], &input.force_spiking_nids)) {
                return convert_failed(kTickParams[2]);
            }
            if (!convert_f32(bound[3], &input.reward)) return convert_failed(kTickParams[3]);
            if (!convert_bool(bound[4], &input.extract_state_snapshot)) {
                return convert_failed(kTickParams[4]);
            }
            Result<TickResult> result = instance.tick(std::move(input));
            if (!result) {
                raise_value_error(result.error());
                return nullptr;
            }
            return wrap_tick_result(module, std::move(result).value());
        });
}

/// After a batch that this process did not interrupt. A network spread over
/// several processes ends every process's batch after the tick in which any
/// of them was interrupted: KeyboardInterrupt here too keeps every process's
/// script at the same tick. (A batch of one process ends early only when it
/// was interrupted itself.)
bool stopped_by_peer(const Instance& instance, std::uint64_t t_end) {
    if (instance.t() >= t_end) return false;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return true;
}

/// Between the ticks of a batch: a pending signal (Ctrl-C) runs its Python
/// handler here; when that raises, the batch stops with the exception set.
Instance::StopCheck signal_check(bool& interrupted) {
    return [&interrupted] {
        if (PyErr_CheckSignals() == 0) return false;
        interrupted = true;
        return true;
    };
}

/// Runs `batch(stop)` as its instance asks: holding the interpreter lock
/// throughout (the default), or without it, so that other Python threads run
/// meanwhile. Without it, each question of the batch (at most every
/// Instance::kStopCheckInterval) takes the lock back just long enough for a
/// pending signal to run its handler. Every other call on the instance meets
/// the exclusive borrow the batch holds and raises, so nothing races; the
/// batch touches no Python object until the lock is back.
template <class F>
auto run_batch(const InstanceObject* obj, bool& interrupted, F&& batch) {
    if (!obj->release_gil) return batch(signal_check(interrupted));
    struct Released {
        PyThreadState* state = PyEval_SaveThread();
        ~Released() { PyEval_RestoreThread(state); }
    } released;
    return batch(Instance::StopCheck([&released, &interrupted] {
        PyEval_RestoreThread(released.state);
        const bool raised = PyErr_CheckSignals() != 0;
        released.state = PyEval_SaveThread();
        if (raised) interrupted = true;
        return raised;
    }));
}

/// The body of a batch method: as run_method, with the object at hand for
/// its choice of run_batch.
template <class F>
PyObject* run_batch_method(PyObject* self, const Signature& signature, PyObject* const* args,
                           Py_ssize_t nargsf, PyObject* kwnames, F&& body) {
    return run_method<1>(self, signature, args, nargsf, kwnames,
                         [&](PyObject* module, Instance& instance, PyObject** bound) {
                             return body(module, as_instance(self), instance, bound);
                         });
}

/// Gives the exception being raised the attribute `completed`, its type and
/// text unchanged; when that fails, the exception stays as it was.
void attach_result(PyObject* completed) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (PyObject_SetAttrString(value, "completed", completed) != 0) PyErr_Clear();
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    }
    PyErr_Restore(type, value, traceback);
}

/// attach_result of the result `wrap` builds from what a batch completed.
template <class Wrap>
void attach_completed(PyObject* module, Wrap&& wrap, BatchTickResult&& batch) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    // Building the result must not meet the exception in flight.
    PyErr_Fetch(&type, &value, &traceback);
    PyRef completed(
        guarded<PyObject*>(module, nullptr, [&] { return wrap(module, std::move(batch)); }));
    if (!completed) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (completed) attach_result(completed.get());
}

/// The body of tick_until and tick_until_arrays: the ticks run into a batch
/// that outlives a failure, so that an exception out of the batch (Ctrl-C, a
/// peer's stop, an internal failure, memory) carries the ticks completed
/// before it; `wrap` builds the returned or attached result.
template <class Wrap>
PyObject* run_collecting_batch(PyObject* self, const Signature& signature, PyObject* const* args,
                               Py_ssize_t nargsf, PyObject* kwnames, Wrap wrap) {
    BatchTickResult batch;
    bool ticking = false;
    auto body = [&](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
        std::uint64_t t_end;
        if (!convert_u64(bound[0], &t_end)) return convert_failed("t");
        bool interrupted = false;
        ticking = true;
        run_batch(as_instance(self), interrupted, [&](const Instance::StopCheck& stop) {
            instance.tick_until_into(t_end, batch, stop);
        });
        if (interrupted || stopped_by_peer(instance, t_end)) return nullptr;
        ticking = false;
        PyRef done(wrap(module, std::move(batch)));
        // Ctrl-C after the batch's last look would be raised by the
        // interpreter as this returns, dropping the result on the way;
        // raised here, the result goes with it. (Spread over several
        // processes the batch ends alike everywhere, as before.)
        if (done && instance.core().exchange() == nullptr && PyErr_CheckSignals() != 0) {
            attach_result(done.get());
            return nullptr;
        }
        return done.release();
    };
    PyObject* result = run_method<1>(self, signature, args, nargsf, kwnames, body);
    if (result == nullptr && ticking) attach_completed(module_of(self), wrap, std::move(batch));
    return result;
}

const char* const kTickUntilParams[] = {"t"};
const Signature kTickUntil{"Instance.tick_until()", kTickUntilParams, 1};
const Signature kTickUntilIgnoreOutput{"Instance.tick_until_ignore_output()", kTickUntilParams, 1};
const Signature kTickUntilArrays{"Instance.tick_until_arrays()", kTickUntilParams, 1};

PyObject* instance_tick_until(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    return run_collecting_batch(self, kTickUntil, args, nargsf, kwnames, &wrap_batch_tick_result);
}

PyObject* instance_tick_until_arrays(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                     PyObject* kwnames) {
    return run_collecting_batch(self, kTickUntilArrays, args, nargsf, kwnames,
                                &wrap_batch_tick_arrays);
}

PyObject* instance_tick_until_ignore_output(PyObject* self, PyObject* const* args,
                                            Py_ssize_t nargsf, PyObject* kwnames) {
    return run_batch_method(self, kTickUntilIgnoreOutput, args, nargsf, kwnames,
                            [](PyObject*, const InstanceObject* obj, Instance& instance,
                               PyObject** bound) -> PyObject* {
                                std::uint64_t t_end;
                                if (!convert_u64(bound[0], &t_end)) return convert_failed("t");
                                bool interrupted = false;
                                run_batch(obj, interrupted, [&](const Instance::StopCheck& stop) {
                                    return instance.tick_until_ignore_output(t_end, stop);
                                });
                                if (interrupted) return nullptr;
                                if (stopped_by_peer(instance, t_end)) return nullptr;
                                Py_RETURN_NONE;
                            });
}

const char* const kApplyStimulusParams[] = {"stimulus"};
const Signature kApplyStimulus{"Instance.apply_stimulus()", kApplyStimulusParams, 1};

PyObject* instance_apply_stimulus(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    return run_method<1>(self, kApplyStimulus, args, nargsf, kwnames,
                         [](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
                             Stimulus copy;
                             const Stimulus* stimulus = stimulus_of(module, bound[0], &copy);
                             if (stimulus == nullptr) return convert_failed("stimulus");
                             instance.apply_stimulus(*stimulus);
                             Py_RETURN_NONE;
                         });
}

/// A read of an open instance, under shared access.
template <class F>
PyObject* read_instance(PyObject* self, F&& read) {
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Shared);
    if (!borrow.held() || open_instance(obj) == nullptr) return nullptr;
    return read(*obj->instance);
}

PyObject* instance_get_t(PyObject* self, PyObject*) {
    return read_instance(
        self, [](const Instance& instance) { return PyLong_FromUnsignedLongLong(instance.t()); });
}

/// A rate attribute, read as a Python float.
template <class T, T Instance::*Rate>
PyObject* get_rate(PyObject* self, void*) {
    return read_instance(self, [](const Instance& instance) {
        return PyFloat_FromDouble(static_cast<double>(instance.*Rate));
    });
}

// Attribute writes convert first, then take exclusive access to store.
template <class T, T Instance::*Rate, bool (*Convert)(PyObject*, T*)>
int set_rate(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    T rate;
    if (!Convert(value, &rate)) return -1;
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
    if (!borrow.held() || open_instance(obj) == nullptr) return -1;
    obj->instance->*Rate = rate;
    return 0;
}

PyObject* instance_close(PyObject* self, PyObject*) {
    return guarded<PyObject*>(module_of(self), nullptr, [self]() -> PyObject* {
        InstanceObject* obj = as_instance(self);
        Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
        if (!borrow.held()) return nullptr;
        // Joins the workers and frees the instance's communicator.
        delete obj->instance;
        obj->instance = nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* get_release_gil(PyObject* self, void*) {
    return read_instance(
        self, [self](const Instance&) { return PyBool_FromLong(as_instance(self)->release_gil); });
}

int set_release_gil(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "release_gil must be a bool, not '%s'",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
    if (!borrow.held() || open_instance(obj) == nullptr) return -1;
    obj->release_gil = value == Py_True;
    return 0;
}

// The context-manager protocol: `with` closes the instance on the way out,
// whatever ends the block; entering a closed instance raises.
PyObject* instance_enter(PyObject* self, PyObject*) {
    return read_instance(self, [self](const Instance&) -> PyObject* { return Py_NewRef(self); });
}

PyObject* instance_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    PyObject* closed = instance_close(self, nullptr);
    if (closed == nullptr) return nullptr;
    Py_DECREF(closed);
    Py_RETURN_FALSE;  // the exception in flight, if any, goes on
}

// The facts of a network spread over several processes; an instance of one
// process is rank 0 of 1.
PyObject* get_rank(PyObject* self, void*) {
    return read_instance(self, [](const Instance& instance) {
        const TickExchange* exchange = instance.core().exchange();
        return PyLong_FromUnsignedLongLong(exchange ? exchange->rank() : 0);
    });
}

PyObject* get_num_ranks(PyObject* self, void*) {
    return read_instance(self, [](const Instance& instance) {
        const TickExchange* exchange = instance.core().exchange();
        return PyLong_FromUnsignedLongLong(exchange ? exchange->num_ranks() : 1);
    });
}

PyObject* get_num_partitions(PyObject* self, void*) {
    return read_instance(self, [](const Instance& instance) {
        return PyLong_FromUnsignedLongLong(instance.core().num_partitions_total());
    });
}

void instance_dealloc(PyObject* self) {
    // Destroying the core closes the command bus and joins the workers.
    InstanceObject* obj = as_instance(self);
    delete obj->instance;
    obj->borrow.~BorrowFlag();
    dealloc_heap_object(self);
}

}  // namespace

namespace instance_class {

std::array<PyMethodDef, 8> common_methods() {
    return {{
        {"tick", method_function(&instance_tick), METH_FASTCALL | METH_KEYWORDS,
         "tick(spiking_in_channel_ids, force_spiking_out_channel_ids, force_spiking_nids, "
         "reward, extract_state_snapshot)\n--\n\nRuns one tick and returns its TickResult."},
        {"tick_until", method_function(&instance_tick_until), METH_FASTCALL | METH_KEYWORDS,
         "tick_until(t)\n--\n\nRuns ticks while get_t() < t and returns their "
         "BatchTickResult.\nCtrl-C stops it between two ticks; get_t() is then the next tick "
         "to run."},
        {"tick_until_ignore_output", method_function(&instance_tick_until_ignore_output),
         METH_FASTCALL | METH_KEYWORDS,
         "tick_until_ignore_output(t)\n--\n\nRuns ticks while get_t() < t, keeping no "
         "output.\nCtrl-C stops it between two ticks; get_t() is then the next tick to run."},
        {"tick_until_arrays", method_function(&instance_tick_until_arrays),
         METH_FASTCALL | METH_KEYWORDS,
         "tick_until_arrays(t)\n--\n\nAs tick_until, returning a BatchTickArrays: the spikes "
         "as arrays of u64 (16 bytes a spike), never as Python lists.\nAn exception out of "
         "either call carries the ticks it completed as its attribute `completed`."},
        {"apply_stimulus", method_function(&instance_apply_stimulus), METH_FASTCALL | METH_KEYWORDS,
         "apply_stimulus(stimulus)\n--\n\nSchedules a copy of the stimulus from the current "
         "tick."},
        {"get_t", method_function(&instance_get_t), METH_NOARGS,
         "get_t()\n--\n\nThe index of the next tick to run."},
        {"__enter__", method_function(&instance_enter), METH_NOARGS,
         "__enter__($self)\n--\n\nThe instance itself, closed when the with block ends."},
        {"__exit__", method_function(&instance_exit), METH_FASTCALL,
         "__exit__($self, *exc_info)\n--\n\nCloses the instance (see close())."},
    }};
}

std::array<PyGetSetDef, 3> common_attributes() {
    return {{
        {"reward_rate", get_rate<float, &Instance::reward_rate>,
         set_rate<float, &Instance::reward_rate, convert_f32>,
         "Reward of every tick run by tick_until and tick_until_ignore_output (f32).", nullptr},
        {"non_coherent_stimulation_rate",
         get_rate<double, &Instance::non_coherent_stimulation_rate>,
         set_rate<double, &Instance::non_coherent_stimulation_rate, convert_f64>,
         "Expected fraction of all neurons forced to spike at random per tick.", nullptr},
        {"release_gil", get_release_gil, set_release_gil,
         "Whether tick_until and tick_until_ignore_output let other Python threads run while "
         "they tick (default False). Meanwhile every other call on this instance raises "
         "RuntimeError.",
         nullptr},
    }};
}

PyMethodDef close(bool collective) {
    return {"close", method_function(&instance_close), METH_NOARGS,
            collective
                ? "close($self)\n--\n\nCollective: joins the workers and frees the instance's "
                  "communicator.\nEvery later call raises ValueError."
                : "close($self)\n--\n\nJoins the workers and frees the network's memory at "
                  "once.\nEvery later call raises ValueError."};
}

PyGetSetDef rank() {
    return {"rank", get_rank, nullptr, "This process's rank in the instance's communicator.",
            nullptr};
}

PyGetSetDef num_ranks() {
    return {"num_ranks", get_num_ranks, nullptr, "Processes that hold the network.", nullptr};
}

PyGetSetDef num_partitions() {
    return {"num_partitions", get_num_partitions, nullptr,
            "Partitions of the whole network: processes times worker threads.", nullptr};
}

}  // namespace instance_class

PyObject* new_instance_class(PyObject* module, const char* name, PyMethodDef* methods,
                             PyGetSetDef* getset) {
    // Read only while the class is made; the tables stay with the module.
    PyType_Slot slots[] = {
        {Py_tp_new, slot_function(&new_refused)},
        {Py_tp_dealloc, slot_function(&instance_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>("A running network; obtained from create_from_yaml or "
                                      "create_from_json.")},
        {0, nullptr},
    };
    PyType_Spec layout{name, static_cast<int>(sizeof(InstanceObject)), 0, Py_TPFLAGS_DEFAULT,
                       slots};
    return PyType_FromModuleAndSpec(module, &layout, nullptr);
}

PyObject* wrap_instance(PyObject* module, std::unique_ptr<Instance> instance) {
    PyTypeObject* type = class_type(module, ClassId::Instance);
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    InstanceObject* obj = as_instance(self);
    new (&obj->borrow) BorrowFlag();
    obj->release_gil = false;
    obj->instance = instance.release();
    return self;
}

}  // namespace synaptor
