// The fit methods, each with its name, the fit() arguments it reads and
// their defaults. This table is the one list of them: the method structs,
// the dispatcher, the unknown-method message, fit()'s signature and
// argument reading, and the command line's choices all come from it.
//
// A new method is a settings list and a row here, and a source file of its
// own defining run_<name>.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "support/result.hpp"
#include "fit/fit_outcome.hpp"

// Each setting: its name (the fit() argument), its type and its default, as
// written here (fit()'s signature shows this text).
#define KELVARA_LEVENBERG_MARQUARDT_SETTINGS(S) S(max_iterations, count32, 200) S(ftol, real, 1e-8) S(xtol, real, 1e-8)
#define KELVARA_PARTICLE_SWARM_SETTINGS(S) S(num_particles, count32, 200) S(generations, count64, 1000)
#define KELVARA_NELDER_MEAD_SETTINGS(S) S(nelder_mead_iterations, count64, 2000)
#define KELVARA_DIFFERENTIAL_EVOLUTION_SETTINGS(S) S(de_evaluations, count32, 20000)
#define KELVARA_SIMULATED_ANNEALING_SETTINGS(S) S(sa_iterations, count64, 5000) S(sa_initial_temperature, real, 2.0)
#define KELVARA_BASIN_HOPPING_SETTINGS(S) \
    S(basin_hopping_hops, count32, 20) S(basin_hopping_step_size, real, 1.0) S(basin_hopping_temperature, real, 1.0)

// The methods in the order fit() lists their settings and the message lists their names.
#define KELVARA_FIT_METHODS(M)                                         \
    M(levenberg_marquardt, KELVARA_LEVENBERG_MARQUARDT_SETTINGS)       \
    M(particle_swarm, KELVARA_PARTICLE_SWARM_SETTINGS)                 \
    M(nelder_mead, KELVARA_NELDER_MEAD_SETTINGS)                       \
    M(differential_evolution, KELVARA_DIFFERENTIAL_EVOLUTION_SETTINGS) \
    M(simulated_annealing, KELVARA_SIMULATED_ANNEALING_SETTINGS)       \
    M(basin_hopping, KELVARA_BASIN_HOPPING_SETTINGS)

namespace kelvara {

// count32 and count64: unsigned integers up to 2^32 - 1 and 2^64 - 1.
enum class SettingType : unsigned char { count32, count64, real };
template <SettingType T>
using setting_t = std::conditional_t<T == SettingType::real, double, std::uint64_t>;

#define KELVARA_SETTING_FIELD(name, type, value) setting_t<SettingType::type> name = value;
#define KELVARA_SETTING_VISIT(name, type, value) visit(std::string_view(#name), SettingType::type, name);
#define KELVARA_METHOD_SETTINGS(method, SETTINGS)                        \
    struct method##_settings {                                           \
        SETTINGS(KELVARA_SETTING_FIELD)                                  \
        /* visit(name, type, field) for each setting, in order */        \
        template <class Visit>                                           \
        void each(Visit&& visit) {                                       \
            SETTINGS(KELVARA_SETTING_VISIT)                              \
        }                                                                \
    };
KELVARA_FIT_METHODS(KELVARA_METHOD_SETTINGS)
#undef KELVARA_METHOD_SETTINGS
#undef KELVARA_SETTING_VISIT
#undef KELVARA_SETTING_FIELD

// The settings of a fit request: every method's (fit() takes them all), the
// seed the random methods share, and what no fit() argument sets.
struct FitSettings {
#define KELVARA_METHOD_MEMBER(method, SETTINGS) method##_settings method;
    KELVARA_FIT_METHODS(KELVARA_METHOD_MEMBER)
#undef KELVARA_METHOD_MEMBER
    std::optional<std::uint64_t> seed;  // none: seeded from the operating system
    std::uint64_t max_starts = 9;       // Levenberg-Marquardt: starts tried, cheapest first

    // visit(name, type, field) for every method's settings, in fit()'s order.
    template <class Visit>
    void each(Visit&& visit) {
#define KELVARA_METHOD_VISIT(method, SETTINGS) method.each(visit);
        KELVARA_FIT_METHODS(KELVARA_METHOD_VISIT)
#undef KELVARA_METHOD_VISIT
    }
};

class FitProblem;

// Each method's own source file defines its run_<name>: it checks the
// settings it reads, then fits from the problem's start.
#define KELVARA_METHOD_RUN(method, SETTINGS) \
    Result<FitOutcome, FitError> run_##method(const FitProblem& problem, const FitSettings& settings);
KELVARA_FIT_METHODS(KELVARA_METHOD_RUN)
#undef KELVARA_METHOD_RUN

using RunMethod = Result<FitOutcome, FitError> (*)(const FitProblem&, const FitSettings&);

struct FitMethod {
    std::string_view name;
    RunMethod run;
};

#define KELVARA_METHOD_ROW(method, SETTINGS) FitMethod{#method, run_##method},
inline constexpr FitMethod FIT_METHODS[] = {KELVARA_FIT_METHODS(KELVARA_METHOD_ROW)};
#undef KELVARA_METHOD_ROW

// The method named exactly `name`, or null.
inline const FitMethod* find_fit_method(std::string_view name) {
    for (const FitMethod& method : FIT_METHODS) {
        if (method.name == name) return &method;
    }
    return nullptr;
}

}  // namespace kelvara
