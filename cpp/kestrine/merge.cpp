// compressed_concat and compressed_weighted_mean: merges of decompressed atoms, optionally
// compressed again, composed of the module's own decompress and compress.
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/errors.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

// [decompress(atom) for atom in atoms], every atom decompressed before anything is merged.
// The merges go through the module's compress and decompress as rebound from Python: that
// they use those two operations is their documented contract (and tests replace them).
py::Obj decompress_all(const py::Obj& atoms) {
  py::Obj decompress = module_global("decompress");
  py::Obj dense = py::list();
  for (const py::Obj& atom : atoms) dense.append(decompress(atom));
  return dense;
}

// The merged array as it is when no recompression is asked for (None, or anything equal
// to CompressionMethod.NONE, the plain string "none" included); otherwise compress's record.
py::Obj finish(const py::Obj& merged, const py::Obj& method, const py::Obj& rank_ratio,
               const py::Obj& max_rank) {
  if (method.is_none() || method == py::Obj::borrow(state().none)) return merged;
  // The module's compress as Python sees it (see decompress_all).
  return module_global("compress")(merged, method, "rank_ratio"_a = rank_ratio,
                                   "max_rank"_a = max_rank);
}

void require_atoms(const py::Obj& atoms, const char* message) {
  if (!atoms.truthy()) throw py::ValueError(message);
}

py::Obj compressed_concat(const py::Obj& atoms, const py::Obj& axis, const py::Obj& method,
                          const py::Obj& rank_ratio, const py::Obj& max_rank) {
  require_atoms(atoms, "compressed_concat requires at least one atom");
  py::Obj merged = bridge::np().attr("concatenate")(decompress_all(atoms), "axis"_a = axis);
  return finish(merged, method, rank_ratio, max_rank);
}

// [w / sum(weights) for w in weights], equal shares when there are none.
py::Obj normalised_weights(py::Obj weights, Py_ssize_t n_atoms) {
  if (weights.is_none()) {
    weights = py::list();
    py::Obj share = py::floating(1.0 / static_cast<double>(n_atoms));
    for (Py_ssize_t i = 0; i < n_atoms; ++i) weights.append(share);
  }
  const Py_ssize_t n_weights = weights.size();
  if (n_weights != n_atoms) {
    throw py::ValueError("len(weights)=" + std::to_string(n_weights) +
                         " != len(atoms)=" + std::to_string(n_atoms));
  }
  py::Obj seq = py::type(PyList_Type)(weights);
  py::Obj total = py::integer(0);
  for (const py::Obj& w : seq) total = total + w;
  if (total <= 0) throw py::ValueError("Sum of weights must be > 0");
  py::Obj normalised = py::list();
  for (const py::Obj& w : seq) normalised.append(w / total);
  return normalised;
}

py::Obj compressed_weighted_mean(const py::Obj& atoms, const py::Obj& weights,
                                 const py::Obj& method, const py::Obj& rank_ratio,
                                 const py::Obj& max_rank) {
  require_atoms(atoms, "compressed_weighted_mean requires at least one atom");
  py::Obj normalised = normalised_weights(weights, atoms.size());
  const Py_ssize_t n = normalised.size();
  py::Obj dense = decompress_all(atoms);
  const Py_ssize_t count = dense.size();
  py::Obj first = dense.item(0);  // IndexError if the atoms yielded nothing
  py::Obj shape = first.attr("shape");
  py::Obj acc = bridge::np().attr("zeros")(shape, "dtype"_a = first.attr("dtype"));
  // zip() semantics: the shorter of the two lists bounds the walk.
  const Py_ssize_t pairs = count < n ? count : n;
  for (Py_ssize_t i = 0; i < pairs; ++i) {
    py::Obj atom = dense.item(i);
    py::Obj atom_shape = atom.attr("shape");
    if (atom_shape != shape) {
      throw py::ValueError("Atom shape mismatch: " + py::text(atom_shape) + " vs " +
                           py::text(shape));
    }
    acc += atom * normalised.item(i);
  }
  return finish(acc, method, rank_ratio, max_rank);
}

constexpr const char* kAtoms = "Sequence[CompressedTensor]";
constexpr const char* kResult = "CompressedTensor | np.ndarray";
// The recompression options both merges take, keyword-only.
constexpr auto kRecompress =
    bridge::arg_set(arg<Any>("recompress_method", "CompressionMethod | str | None") = bridge::none,
                    arg<Float>("recompress_rank_ratio") = core::kDefaultRankRatio,
                    arg<Int>("recompress_max_rank") = core::kDefaultMaxRank);

const bridge::Decl kOperations[] = {
    def<&compressed_concat>(
        "compressed_concat",
        "Concatenate decompressed atoms along `axis`; optionally compress the result again.\n\n"
        "The merged array is returned dense when `recompress_method` is None or NONE, otherwise\n"
        "as the record compress() builds for it.",
        arg<Any>("atoms", kAtoms), kw_only, arg<Int>("axis") = 0, kRecompress)
        .returns(kResult),
    def<&compressed_weighted_mean>(
        "compressed_weighted_mean",
        "Weighted mean of decompressed atoms; optionally compress the result again.\n\n"
        "Weights (equal when omitted) are normalised by their sum, which must be positive. The\n"
        "mean accumulates in place in the first atom's element type. The result is dense when\n"
        "`recompress_method` is None or NONE, otherwise the record compress() builds for it.",
        arg<Any>("atoms", kAtoms), arg<Any>("weights", "Sequence[float] | None") = bridge::none,
        kw_only, kRecompress)
        .returns(kResult),
};

}  // namespace

void define_merge(bridge::ModuleBuilder& b) { b.functions(kOperations); }

}  // namespace velmora::kestrine
