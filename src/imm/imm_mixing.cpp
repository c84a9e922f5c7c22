#include "imm_mixing.hpp"

#include "../angles/angles.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>

namespace vexel::imm {

namespace {

constexpr double kPi = 3.141592653589793;

std::size_t sz(Index v) { return static_cast<std::size_t>(v); }

/// An angle difference in [-pi, pi): the spread of an angle is measured the
/// short way round.
double wrapped_difference(double d) {
  if (d >= -kPi && d < kPi) return d;
  const double w = angles::wrap(d);  // (-pi, pi]
  return w == kPi ? -kPi : w;
}

/// Model i's stand-in on the target components it lacks (the plan's set B
/// for it), times its weight, added to the lower triangle of P: the moment
/// of the weighted models that have all of B around the mean, renormalised
/// over them (see the header for the fallbacks).
void add_stand_in(const ImmLayout& L, const MatchPlan& plan, const double* w, const Estimates& est, Index i,
                  const double* own_P, double* P, MixWork& work) {
  const Index t = plan.t;
  const Index* idx = plan.idx.data();
  const std::vector<Index>& missing = plan.missing[sz(i)];
  const Index* miss = missing.data();
  const Index b = static_cast<Index>(missing.size());
  work.fill.assign(sz(b * b), 0.0);
  double* fill = work.fill.data();
  double covered = 0.0;
  for (const Index k : plan.covering[sz(i)]) {
    if (!(w[k] > 0.0)) continue;
    covered += w[k];
    const double* Pk = est.P[sz(k)];
    const Index n_k = L.size(k);
    const double* dk = work.d.data() + k * t;
    for (Index u = 0; u < b; ++u) {
      const Index lu = idx[k * t + miss[u]];
      const double du = dk[miss[u]];
      for (Index v = 0; v <= u; ++v) {
        fill[u * b + v] += w[k] * (Pk[lu * n_k + idx[k * t + miss[v]]] + du * dk[miss[v]]);
      }
    }
  }
  if (covered > 0.0) {
    for (Index u = 0; u < b; ++u) {
      for (Index v = 0; v <= u; ++v) fill[u * b + v] /= covered;
    }
  } else if (own_P != nullptr) {
    for (Index u = 0; u < b; ++u) {
      for (Index v = 0; v <= u; ++v) fill[u * b + v] = own_P[miss[u] * t + miss[v]];
    }
  } else {
    // No weighted model has all of B: each variance over the models that
    // have that component, no correlation.
    for (Index u = 0; u < b; ++u) {
      double s = 0.0;
      double total = 0.0;
      for (Index k = 0; k < L.models; ++k) {
        const Index l = idx[k * t + miss[u]];
        if (!(w[k] > 0.0) || l < 0) continue;
        const double dk = work.d[sz(k * t + miss[u])];
        s += w[k] * (est.P[sz(k)][l * L.size(k) + l] + dk * dk);
        total += w[k];
      }
      fill[u * b + u] = total > 0.0 ? s / total : 0.0;
    }
  }
  for (Index u = 0; u < b; ++u) {
    // miss is ascending, so (miss[u], miss[v]) lies in the lower triangle.
    for (Index v = 0; v <= u; ++v) P[miss[u] * t + miss[v]] += w[i] * fill[u * b + v];
  }
}

/// The moment matching of the rule in the header into the plan's target
/// components, with weights w (one per model) and the target's own estimate
/// on them (or nullptr while combining).  x: t, P: t by t, C order.
void moment_match(const ImmLayout& L, const MatchPlan& plan, const double* w, const Estimates& est,
                  const double* own_x, const double* own_P, double* x, double* P, MixWork& work) {
  const Index models = L.models;
  const Index t = plan.t;
  const Index* idx = plan.idx.data();
  // 1. The mean of each target component over the weighted models that have it.
  for (Index a = 0; a < t; ++a) {
    double total = 0.0;
    Index heaviest = -1;
    for (Index i = 0; i < models; ++i) {
      if (!(w[i] > 0.0) || idx[i * t + a] < 0) continue;
      total += w[i];
      if (heaviest < 0 || w[i] > w[heaviest]) heaviest = i;
    }
    if (heaviest < 0) {
      x[a] = own_x[a];  // only a target model's own estimate can stand in (see the header)
      continue;
    }
    double s = 0.0;
    if (plan.angle[sz(a)] == 0) {
      for (Index i = 0; i < models; ++i) {
        const Index l = idx[i * t + a];
        if (w[i] > 0.0 && l >= 0) s += w[i] * est.x[sz(i)][l];
      }
      x[a] = s / total;
    } else {
      const double ref = est.x[sz(heaviest)][idx[heaviest * t + a]];
      for (Index i = 0; i < models; ++i) {
        const Index l = idx[i * t + a];
        if (w[i] > 0.0 && l >= 0) s += w[i] * wrapped_difference(est.x[sz(i)][l] - ref);
      }
      x[a] = angles::wrap(ref + s / total);
    }
  }
  // 2. Each weighted model's differences to that mean (zero where it lacks
  // the component: its stand-in is centred there).
  work.d.assign(sz(models * t), 0.0);
  double weight = 0.0;
  for (Index i = 0; i < models; ++i) {
    if (!(w[i] > 0.0)) continue;
    weight += w[i];
    const double* xi = est.x[sz(i)];
    double* di = work.d.data() + i * t;
    for (Index a = 0; a < t; ++a) {
      const Index l = idx[i * t + a];
      if (l < 0) continue;
      const double d = xi[l] - x[a];
      di[a] = plan.angle[sz(a)] != 0 ? wrapped_difference(d) : d;
    }
  }
  // 3. The covariance, lower triangle: every weighted model's own covariance
  // (its stand-in on what it lacks) plus the outer product of its differences.
  std::fill(P, P + t * t, 0.0);
  for (Index i = 0; i < models; ++i) {
    if (!(w[i] > 0.0)) continue;
    const double wi = w[i];
    const double* di = work.d.data() + i * t;
    const Index* li = idx + i * t;
    const Index n_i = L.size(i);
    const double* Pi = est.P[sz(i)];
    if (!plan.missing[sz(i)].empty()) add_stand_in(L, plan, w, est, i, own_P, P, work);
    for (Index a = 0; a < t; ++a) {
      const Index la = li[a];
      if (la < 0) continue;
      const double* row = Pi + la * n_i;
      const double da = di[a];
      double* out = P + a * t;
      for (Index c = 0; c <= a; ++c) {
        const Index lc = li[c];
        if (lc >= 0) out[c] += wi * (row[lc] + da * di[c]);
      }
    }
  }
  // Exactly symmetric, as the filters keep their covariances.
  for (Index a = 0; a < t; ++a) {
    for (Index c = 0; c <= a; ++c) {
      if (weight != 1.0) P[a * t + c] /= weight;
      P[c * t + a] = P[a * t + c];
    }
  }
}

/// The plan of a moment matching into the components `tc`.
MatchPlan make_plan(const ImmLayout& L, const Index* tc, Index t) {
  MatchPlan plan;
  plan.t = t;
  const Index models = L.models;
  plan.idx.resize(sz(models * t));
  plan.angle.resize(sz(t));
  plan.missing.resize(sz(models));
  plan.covering.resize(sz(models));
  for (Index a = 0; a < t; ++a) plan.angle[sz(a)] = L.angle[sz(tc[a])];
  for (Index i = 0; i < models; ++i) {
    for (Index a = 0; a < t; ++a) {
      const Index l = L.local_index(i, tc[a]);
      plan.idx[sz(i * t + a)] = l;
      if (l < 0) plan.missing[sz(i)].push_back(a);
    }
  }
  for (Index i = 0; i < models; ++i) {
    const std::vector<Index>& B = plan.missing[sz(i)];
    if (B.empty()) continue;
    for (Index k = 0; k < models; ++k) {
      bool all = true;
      for (Index a : B) all = all && plan.idx[sz(k * t + a)] >= 0;
      if (all) plan.covering[sz(i)].push_back(k);
    }
  }
  return plan;
}

}  // namespace

Result<ImmLayout> ImmLayout::create(const std::vector<std::vector<Index>>& maps, std::vector<double> transition,
                                    const std::vector<Index>& angle_components) {
  ImmLayout L;
  L.models = static_cast<Index>(maps.size());
  if (L.models == 0) return Error::value("state_maps must name at least one model");
  if (transition.size() != sz(L.models * L.models)) {
    return Error::value("transition must be a square matrix with one row per model");
  }
  Index r = 0;
  for (const auto& m : maps) {
    if (m.empty()) return Error::value("state_maps: every model holds at least one component");
    for (Index c : m) {
      if (c < 0) return Error::value("state_maps holds a negative index");
      r = std::max(r, c + 1);
    }
  }
  L.r = r;
  L.local.assign(sz(L.models * r), -1);
  L.offsets.push_back(0);
  for (Index i = 0; i < L.models; ++i) {
    const auto& m = maps[sz(i)];
    L.sizes.push_back(static_cast<Index>(m.size()));
    for (Index k = 0; k < static_cast<Index>(m.size()); ++k) {
      Index& slot = L.local[sz(i * r + m[sz(k)])];
      if (slot >= 0) return Error::value("state_maps names a component twice in one model");
      slot = k;
      L.common.push_back(m[sz(k)]);
    }
    L.offsets.push_back(static_cast<Index>(L.common.size()));
  }
  for (Index c = 0; c < r; ++c) {
    bool held = false;
    for (Index i = 0; i < L.models && !held; ++i) held = L.local_index(i, c) >= 0;
    if (!held) return Error::value("state_maps leaves component " + std::to_string(c) + " to no model");
  }
  for (double v : transition) {
    if (!std::isfinite(v) || v < 0.0) return Error::value("transition must hold finite non-negative probabilities");
  }
  L.transition = std::move(transition);
  L.angle.assign(sz(r), 0);
  for (Index c : angle_components) {
    if (c < 0 || c >= r) return Error::value("angle component outside the common state");
    L.angle[sz(c)] = 1;
  }
  for (Index j = 0; j < L.models; ++j) L.plans.push_back(make_plan(L, L.map(j), L.size(j)));
  std::vector<Index> all(sz(r));
  for (Index c = 0; c < r; ++c) all[sz(c)] = c;
  L.plans.push_back(make_plan(L, all.data(), r));
  return L;
}

void mixing_weights(const ImmLayout& L, const double* mu, double* cbar, double* omega) {
  const Index m = L.models;
  for (Index j = 0; j < m; ++j) {
    double s = 0.0;
    for (Index i = 0; i < m; ++i) s += L.transition[sz(i * m + j)] * mu[i];
    cbar[j] = s;
    for (Index i = 0; i < m; ++i) {
      omega[i * m + j] = s > 0.0 ? L.transition[sz(i * m + j)] * mu[i] / s : (i == j ? 1.0 : 0.0);
    }
  }
}

bool mixing_is_identity(const ImmLayout& L, const double* omega, Index j) {
  for (Index i = 0; i < L.models; ++i) {
    if (omega[i * L.models + j] != (i == j ? 1.0 : 0.0)) return false;
  }
  return true;
}

void mix_into(const ImmLayout& L, const double* omega, const Estimates& est, Index j, double* x0, double* P0,
              MixWork& work) {
  const Index m = L.models;
  work.weights.resize(sz(m));
  for (Index i = 0; i < m; ++i) work.weights[sz(i)] = omega[i * m + j];
  moment_match(L, L.plans[sz(j)], work.weights.data(), est, est.x[sz(j)], est.P[sz(j)], x0, P0, work);
}

void combine(const ImmLayout& L, const double* mu, const Estimates& est, double* x, double* P, MixWork& work) {
  // Every component must have a weighted model (there is no target model to
  // stand in): a probability of zero (an initial mu with zeros) counts as
  // the floor here.
  const double* w = mu;
  bool zero = false;
  for (Index i = 0; i < L.models; ++i) zero = zero || !(mu[i] > 0.0);
  if (zero) {
    work.weights.resize(sz(L.models));
    for (Index i = 0; i < L.models; ++i) work.weights[sz(i)] = mu[i] > 0.0 ? mu[i] : kModeFloor;
    w = work.weights.data();
  }
  moment_match(L, L.plans[sz(L.models)], w, est, nullptr, nullptr, x, P, work);
}

void apply_floor(Index models, double* mu) {
  if (models == 1) {
    mu[0] = 1.0;
    return;
  }
  double s = 0.0;
  for (Index j = 0; j < models; ++j) {
    mu[j] = std::clamp(mu[j], kModeFloor, 1.0 - kModeFloor);
    s += mu[j];
  }
  for (Index j = 0; j < models; ++j) mu[j] /= s;
}

double mode_probabilities(const ImmLayout& L, const double* prior, const double* loglik, double* mu,
                          MixWork& work) {
  const Index m = L.models;
  constexpr double kNegInf = -std::numeric_limits<double>::infinity();
  double top = kNegInf;
  std::vector<double>& terms = work.weights;
  terms.resize(sz(m));
  for (Index j = 0; j < m; ++j) {
    const double ll = std::isnan(loglik[j]) ? kNegInf : loglik[j];
    terms[sz(j)] = prior[j] > 0.0 ? std::log(prior[j]) + ll : kNegInf;
    top = std::max(top, terms[sz(j)]);
  }
  if (top == kNegInf) {
    // No mode explains the measurement at all: nothing to learn from it.
    for (Index j = 0; j < m; ++j) mu[j] = prior[j];
    apply_floor(m, mu);
    return kNegInf;
  }
  if (std::isinf(top)) {
    // An infinite likelihood (a degenerate innovation covariance) takes all.
    for (Index j = 0; j < m; ++j) mu[j] = terms[sz(j)] == top ? 1.0 : 0.0;
    double s = 0.0;
    for (Index j = 0; j < m; ++j) s += mu[j];
    for (Index j = 0; j < m; ++j) mu[j] /= s;
    apply_floor(m, mu);
    return top;
  }
  double s = 0.0;
  for (Index j = 0; j < m; ++j) s += std::exp(terms[sz(j)] - top);
  const double log_total = top + std::log(s);
  for (Index j = 0; j < m; ++j) mu[j] = std::exp(terms[sz(j)] - log_total);
  apply_floor(m, mu);
  return log_total;
}

}  // namespace vexel::imm
