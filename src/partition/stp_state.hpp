// Short-term plasticity of one pre-synaptic neuron's terminals onto a layer:
// none, depression or facilitation, behind one interface. Its one operation
// brings the state up to the spike tick and returns the transmitted fraction;
// each says its own kind and shows its dynamics, which a state file saves.
#pragma once

#include <cstdint>
#include <memory>

#include "params/params.hpp"
#include "util/decay.hpp"

namespace synaptor {

struct StpDynamics;

class StpState {
public:
    virtual ~StpState() = default;
    /// The efficacy for a spike at tick `t`: the value before this spike's own
    /// depression or facilitation, which first affects the next spike.
    virtual float on_pre_spike(std::uint64_t t) = 0;
    virtual StpParams::Kind kind() const = 0;
    /// The evolving state, none without short-term plasticity.
    virtual StpDynamics* dynamics() { return nullptr; }
};

class NoStpState final : public StpState {
public:
    float on_pre_spike(std::uint64_t) override { return 1.0f; }
    StpParams::Kind kind() const override { return StpParams::Kind::NoStp; }
};

/// Shared state of depression and facilitation.
struct StpDynamics {
    std::uint64_t last_update_t = 0;
    float p0 = 0.0f;
    float factor = 0.0f;
    float tau = 0.0f;
    float efficacy = 0.0f;

    /// Efficacy recovered toward p0 since the last update, as of tick t.
    float recovered(std::uint64_t t) const {
        const float e = decay_factor(t - last_update_t, tau);
        return (1.0f - e) * p0 + efficacy * e;
    }
};

class DepressionState final : public StpState {
public:
    explicit DepressionState(const StpParams& p) : state{0, p.p0, p.factor, p.tau, p.p0} {}
    float on_pre_spike(std::uint64_t t) override {
        const float p = state.recovered(t);
        state.efficacy = p - state.factor * p;
        state.last_update_t = t;
        return p;
    }
    StpParams::Kind kind() const override { return StpParams::Kind::Depression; }
    StpDynamics* dynamics() override { return &state; }
    StpDynamics state;
};

class FacilitationState final : public StpState {
public:
    explicit FacilitationState(const StpParams& p) : state{0, p.p0, p.factor, p.tau, p.p0} {}
    float on_pre_spike(std::uint64_t t) override {
        const float p = state.recovered(t);
        state.efficacy = (1.0f - p) * state.factor + p;
        state.last_update_t = t;
        return p;
    }
    StpParams::Kind kind() const override { return StpParams::Kind::Facilitation; }
    StpDynamics* dynamics() override { return &state; }
    StpDynamics state;
};

inline std::unique_ptr<StpState> make_stp_state(const StpParams& params) {
    switch (params.kind) {
        case StpParams::Kind::Depression:
            return std::make_unique<DepressionState>(params);
        case StpParams::Kind::Facilitation:
            return std::make_unique<FacilitationState>(params);
        case StpParams::Kind::NoStp:
            break;
    }
    return std::make_unique<NoStpState>();
}

}  // namespace synaptor
