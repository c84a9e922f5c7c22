// The interacting multiple model estimator's own arithmetic: mixing
// weights, the moment matching that mixes the models' estimates into each
// model and combines them into one, and the mode probabilities from the
// models' measurement log-likelihoods.  The models' own steps are the
// filters' (src/ckf, src/srckf); nothing here touches Python.
//
// Models may hold different parts of a common state of r components: model
// i's component k is common component map_i[k].  Moment matching into a set
// of target components follows one rule, for mixing and combining alike:
//
//   * the mean of a component is the weighted mean over the models that
//     have it, their weights renormalised over those models (on the circle
//     for an angle: a reference, the value of the heaviest such model, plus
//     the weighted mean of the differences to it wrapped into [-pi, pi),
//     the result wrapped to (-pi, pi]);
//   * a model lacking some target components (the set B) enters with its own
//     mean and covariance on the components it has, and on B with a stand-in
//     centred at the mean above, whose covariance is the moment of the
//     models that have all of B (weights renormalised over them), and no
//     correlation between B and the rest;
//   * the covariance is the weighted sum of every model's covariance plus
//     the outer product of its (wrapped) differences to the mean.
//
// Every term is positive semidefinite, so the result is a covariance.  A
// component's variance, and the covariances among components that the same
// models lack, come out as over the models that have them; a covariance
// between a component some models lack and one they have is carried by the
// models that have both alone.  When every model with weight lacks a target
// component (mixing with zeros in the transition matrix) the target model's
// own estimate stands in; when no weighted model has all of B while
// combining, the stand-in keeps the variances only.
#pragma once

#include "../kernels/linalg.hpp"
#include "../kernels/result.hpp"

#include <cstdint>
#include <vector>

namespace vexel::imm {

/// Smallest mode probability: after each update or prediction the
/// probabilities are clamped to [kModeFloor, 1 - kModeFloor] and
/// renormalised, so that no mode dies (or takes over) by rounding alone.
inline constexpr double kModeFloor = 1e-12;

/// What a moment matching into a set of target components needs of the
/// layout, worked out once: each model's index of each target component
/// (-1: it lacks it), which target components are angles, the components
/// each model lacks (ascending) and the models that have all of them.
struct MatchPlan {
  Index t = 0;
  std::vector<Index> idx;  // models * t
  std::vector<char> angle;
  std::vector<std::vector<Index>> missing, covering;
};

/// The models' place in the common state and the Markov chain of modes.
struct ImmLayout {
  Index models = 0;                // number of models
  Index r = 0;                     // size of the common state
  std::vector<Index> sizes;        // each model's state size
  std::vector<Index> offsets;      // where each model's map starts in `common`
  std::vector<Index> common;       // the maps, concatenated
  std::vector<Index> local;        // models * r: model i's index of component c, -1 where it lacks it
  std::vector<double> transition;  // models * models, row i: from mode i to mode j
  std::vector<char> angle;         // r: the component is an angle
  std::vector<MatchPlan> plans;    // mixing into each model, then combining

  /// A layout from the maps (distinct non-negative indices each; every
  /// component below 1 + the largest held by some model), the row-major
  /// transition matrix (rows summing to one) and the angle components.
  /// Fails with a ValueError naming what is wrong; the Python layer checks
  /// first, with the user's words.
  static Result<ImmLayout> create(const std::vector<std::vector<Index>>& maps, std::vector<double> transition,
                                  const std::vector<Index>& angle_components);

  Index size(Index i) const { return sizes[static_cast<std::size_t>(i)]; }
  const Index* map(Index i) const { return common.data() + offsets[static_cast<std::size_t>(i)]; }
  Index local_index(Index i, Index c) const { return local[static_cast<std::size_t>(i * r + c)]; }
};

/// Each model's current estimate: mean (size n_i) and covariance (n_i by
/// n_i; symmetric, so either storage order).
struct Estimates {
  std::vector<const double*> x;
  std::vector<const double*> P;
};

/// Temporaries of the moment matching, reused between calls.
struct MixWork {
  std::vector<double> d, fill, weights;
};

/// Predicted mode probabilities cbar_j = sum_i T_ij mu_i and the mixing
/// weights omega[i * models + j] = T_ij mu_i / cbar_j.  A mode no mode can
/// reach (cbar_j = 0) mixes nothing in: omega_jj = 1.
void mixing_weights(const ImmLayout& L, const double* mu, double* cbar, double* omega);

/// True when mixing into model j changes nothing: its own weight is one and
/// every other zero.
bool mixing_is_identity(const ImmLayout& L, const double* omega, Index j);

/// The mixed initial condition of model j (x0: n_j, P0: n_j by n_j, C
/// order) by the rule above, with weights omega[. * models + j].
void mix_into(const ImmLayout& L, const double* omega, const Estimates& est, Index j, double* x0, double* P0,
              MixWork& work);

/// The combined estimate of the common state (x: r, P: r by r, C order)
/// with weights mu (a zero or NaN probability counting as kModeFloor).
void combine(const ImmLayout& L, const double* mu, const Estimates& est, double* x, double* P, MixWork& work);

/// The probabilities clamped to [kModeFloor, 1 - kModeFloor] and
/// renormalised; one model keeps probability one.
void apply_floor(Index models, double* mu);

/// mu_j proportional to prior_j exp(loglik_j), formed in log space
/// (log-sum-exp), then floored; returns the log of the mixture likelihood
/// sum_j prior_j exp(loglik_j).  A NaN log-likelihood counts as -inf; when
/// every term is -inf the probabilities stay the prior's (floored) and the
/// result is -inf.
double mode_probabilities(const ImmLayout& L, const double* prior, const double* loglik, double* mu,
                          MixWork& work);

}  // namespace vexel::imm
