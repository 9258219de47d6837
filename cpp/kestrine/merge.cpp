// compressed_concat and compressed_weighted_mean: merges of decompressed atoms, optionally
// compressed again, composed of the module's own decompress and compress.
#include <string>

#include "../bridge/arrays.hpp"
#include "../bridge/errors.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

using bridge::Args;
using bridge::Conv;
using bridge::FunctionDef;
using bridge::Param;

namespace {

// [decompress(atom) for atom in atoms], every atom decompressed before anything is merged.
py::Obj decompress_all(const py::Obj& atoms) {
  py::Obj decompress = module_global("decompress");
  py::Obj dense = py::list();
  py::Obj it = py::Obj::steal(PyObject_GetIter(atoms.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    py::Obj atom = py::Obj::steal(raw);
    py::list_append(dense, decompress(atom));
  }
  if (PyErr_Occurred()) throw py::PythonError{};
  return dense;
}

// The merged array as it is when no recompression is asked for (None, or anything equal
// to CompressionMethod.NONE, the plain string "none" included); otherwise compress's record.
py::Obj finish(const py::Obj& merged, const py::Obj& method, const py::Obj& rank_ratio,
               const py::Obj& max_rank) {
  if (method.is_none()) return merged;
  const int dense = PyObject_RichCompareBool(method.get(), state().none, Py_EQ);
  if (dense < 0) throw py::PythonError{};
  if (dense == 1) return merged;
  return module_global("compress")
      .call({merged, method}, {{"rank_ratio", rank_ratio}, {"max_rank", max_rank}});
}

void require_atoms(const py::Obj& atoms, const char* message) {
  if (!atoms.truthy()) bridge::raise_value_error(message);
}

py::Obj compressed_concat(const Args& a) {
  py::Obj atoms = a.obj(0);
  require_atoms(atoms, "compressed_concat requires at least one atom");
  py::Obj dense = decompress_all(atoms);
  py::Obj merged = bridge::np().attr("concatenate").call({dense}, {{"axis", a.obj(1)}});
  return finish(merged, a.obj(2), a.obj(3), a.obj(4));
}

py::Obj compressed_weighted_mean(const Args& a) {
  py::Obj atoms = a.obj(0);
  py::Obj weights = a.obj(1);
  require_atoms(atoms, "compressed_weighted_mean requires at least one atom");
  const Py_ssize_t n_atoms = atoms.size();
  if (weights.is_none()) {
    weights = py::list();
    py::Obj share = py::floating(1.0 / static_cast<double>(n_atoms));
    for (Py_ssize_t i = 0; i < n_atoms; ++i) py::list_append(weights, share);
  }
  const Py_ssize_t n_weights = weights.size();
  if (n_weights != n_atoms) {
    bridge::raise_value_error("len(weights)=" + std::to_string(n_weights) +
                              " != len(atoms)=" + std::to_string(n_atoms));
  }
  py::Obj total = py::integer(0);
  py::Obj seq = py::Obj::steal(PySequence_List(weights.get()));
  const Py_ssize_t n = PyList_GET_SIZE(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    total = py::Obj::steal(PyNumber_Add(total.get(), PyList_GET_ITEM(seq.get(), i)));
  }
  const int positive = PyObject_RichCompareBool(total.get(), py::integer(0).get(), Py_LE);
  if (positive < 0) throw py::PythonError{};
  if (positive == 1) bridge::raise_value_error("Sum of weights must be > 0");
  py::Obj normalised = py::list();
  for (Py_ssize_t i = 0; i < n; ++i) {
    py::list_append(normalised, py::Obj::steal(PyNumber_TrueDivide(PyList_GET_ITEM(seq.get(), i),
                                                                   total.get())));
  }

  py::Obj dense = decompress_all(atoms);
  const Py_ssize_t count = PyList_GET_SIZE(dense.get());
  py::Obj first = dense.item(0);  // IndexError if the atoms yielded nothing
  py::Obj shape = first.attr("shape");
  py::Obj acc = bridge::np().attr("zeros").call({shape}, {{"dtype", first.attr("dtype")}});
  // zip() semantics: the shorter of the two lists bounds the walk.
  const Py_ssize_t pairs = count < n ? count : n;
  for (Py_ssize_t i = 0; i < pairs; ++i) {
    py::Obj atom = py::Obj::borrow(PyList_GET_ITEM(dense.get(), i));
    py::Obj atom_shape = atom.attr("shape");
    const int differs = PyObject_RichCompareBool(atom_shape.get(), shape.get(), Py_NE);
    if (differs < 0) throw py::PythonError{};
    if (differs == 1) {
      bridge::raise_value_error("Atom shape mismatch: " + py::text(atom_shape) + " vs " +
                                py::text(shape));
    }
    py::Obj term =
        py::Obj::steal(PyNumber_Multiply(atom.get(), PyList_GET_ITEM(normalised.get(), i)));
    acc = py::Obj::steal(PyNumber_InPlaceAdd(acc.get(), term.get()));
  }
  return finish(acc, a.obj(2), a.obj(3), a.obj(4));
}

constexpr const char* kAtoms = "Sequence[CompressedTensor]";
constexpr const char* kMethod = "CompressionMethod | str | None";
constexpr const char* kResult = "CompressedTensor | np.ndarray";

const FunctionDef kConcat{
    "compressed_concat",
    "compressed_concat",
    "Concatenate decompressed atoms along `axis`; optionally compress the result again.\n\n"
    "The merged array is returned dense when `recompress_method` is None or NONE, otherwise\n"
    "as the record compress() builds for it.",
    {Param{"atoms", kAtoms},
     Param{"axis", "int", Conv::Int, bridge::Kind::KeywordOnly, bridge::int_default(0)},
     Param{"recompress_method", kMethod, Conv::Any, bridge::Kind::KeywordOnly,
           bridge::none_default()},
     Param{"recompress_rank_ratio", "float", Conv::Float, bridge::Kind::KeywordOnly,
           bridge::float_default(0.5)},
     Param{"recompress_max_rank", "int", Conv::Int, bridge::Kind::KeywordOnly,
           bridge::int_default(8)}},
    kResult,
    compressed_concat};

const FunctionDef kWeightedMean{
    "compressed_weighted_mean",
    "compressed_weighted_mean",
    "Weighted mean of decompressed atoms; optionally compress the result again.\n\n"
    "Weights (equal when omitted) are normalised by their sum, which must be positive. The\n"
    "mean accumulates in place in the first atom's element type. The result is dense when\n"
    "`recompress_method` is None or NONE, otherwise the record compress() builds for it.",
    {Param{"atoms", kAtoms},
     Param{"weights", "Sequence[float] | None", Conv::Any, bridge::Kind::Positional,
           bridge::none_default()},
     Param{"recompress_method", kMethod, Conv::Any, bridge::Kind::KeywordOnly,
           bridge::none_default()},
     Param{"recompress_rank_ratio", "float", Conv::Float, bridge::Kind::KeywordOnly,
           bridge::float_default(0.5)},
     Param{"recompress_max_rank", "int", Conv::Int, bridge::Kind::KeywordOnly,
           bridge::int_default(8)}},
    kResult,
    compressed_weighted_mean};

}  // namespace

void define_merge(bridge::ModuleBuilder& b) {
  b.function(&kConcat);
  b.function(&kWeightedMean);
}

}  // namespace velmora::kestrine
