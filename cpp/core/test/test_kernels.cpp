// Dense algebra, SHA-256 and the fused elementwise passes against known answers.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "../algebra.hpp"
#include "../block_ortho.hpp"
#include "../elementwise.hpp"
#include "../sha256.hpp"
#include "support.hpp"

namespace {

using velmora::core::elements;

TEST(gemm_known_product) {
  const double a[] = {1, 2, 3, 4, 5, 6}, b[] = {7, 8, 9, 10, 11, 12};
  double out[4];
  velmora::core::gemm_rm(a, b, 2, 3, 2, out);
  CHECK((out[0] == 58 && out[1] == 64 && out[2] == 139 && out[3] == 154));
  float z[6] = {1, 1, 1, 1, 1, 1};
  velmora::core::gemm_rm<float>(nullptr, nullptr, 2, 0, 3, z);
  CHECK(vtest::max_diff(std::vector<float>(z, z + 6), std::vector<float>(6, 0.0f)) == 0.0);
}

// mode_dot and unfold_copy against the definitions, over the layouts that take each path:
// a leading mode, a trailing mode with a wide factor, a middle mode, an empty mode.
// The double products of a float matrix, against the definitions, on shapes of one panel
// and of several (panels of 2^20 elements, by rows and by columns).
TEST(wide_products_match_definitions) {
  struct Case {
    std::int64_t m, n, k;
  };
  for (const Case c : {Case{5, 7, 2}, Case{1100, 1000, 3}, Case{300, 4000, 2}}) {
    const std::vector<float> a = vtest::cast<float>(vtest::sequence(c.m * c.n, 3));
    const std::vector<double> v = vtest::sequence(c.n * c.k, 4), u = vtest::sequence(c.m * c.k, 5);
    std::vector<double> w(elements(c.m, c.k)), z(elements(c.n, c.k));
    velmora::core::wide_products(a.data(), c.m, c.n, c.k, v.data(), u.data(), w.data(), z.data());
    double worst = 0;
    for (std::int64_t j = 0; j < c.k; ++j) {
      for (std::int64_t i = 0; i < c.m; ++i) {
        double t = 0;
        for (std::int64_t q = 0; q < c.n; ++q) t += double{a[i * c.n + q]} * v[j * c.n + q];
        worst = std::max(worst, std::abs(t - w[j * c.m + i]));
      }
      for (std::int64_t q = 0; q < c.n; ++q) {
        double t = 0;
        for (std::int64_t i = 0; i < c.m; ++i) t += double{a[i * c.n + q]} * u[j * c.m + i];
        worst = std::max(worst, std::abs(t - z[j * c.n + q]));
      }
    }
    CHECK(worst < 1e-9);
  }
}

TEST(mode_dot_and_unfolding_match_definitions) {
  struct Case {
    std::int64_t p, n, q, j;
  };
  for (const Case c : {Case{1, 3, 4, 2}, Case{5, 3, 1, 20}, Case{2, 3, 4, 5}, Case{3, 4, 1, 2},
                       Case{2, 0, 3, 2}}) {
    const std::vector<double> t = vtest::sequence(c.p * c.n * c.q, 1);
    const std::vector<double> m = vtest::sequence(c.j * c.n, 2);
    std::vector<double> out(elements(c.p, c.j, c.q), 7.0), want(out.size(), 0.0);
    std::vector<double> unf(elements(c.n, c.p, c.q)), unf_want(unf.size());
    const velmora::core::RowMajor tv{t.data(), c.n * c.q}, mv{m.data(), c.n};
    for (std::int64_t x = 0; x < c.p; ++x) {
      for (std::int64_t i = 0; i < c.n; ++i) {
        for (std::int64_t z = 0; z < c.q; ++z) {
          unf_want.data()[i * c.p * c.q + x * c.q + z] = tv(x, i * c.q + z);
          for (std::int64_t y = 0; y < c.j; ++y) {
            want.data()[(x * c.j + y) * c.q + z] += mv(y, i) * tv(x, i * c.q + z);
          }
        }
      }
    }
    velmora::core::mode_dot(t.data(), c.p, c.n, c.q, m.data(), c.j, out.data());
    velmora::core::unfold_copy(t.data(), c.p, c.n, c.q, unf.data());
    CHECK(vtest::max_diff(out, want) < 1e-12);
    CHECK(vtest::max_diff(unf, unf_want) == 0.0);
  }
}

TEST(euclidean_norms) {
  const float a[] = {3, 4, 0, 0, 0}, b[] = {0, 0, 0, 0, 12};
  CHECK(velmora::core::euclidean_norm(a, 5) == 5.0f);
  CHECK(velmora::core::euclidean_norm_of_difference(a, b, 5) == 13.0f);
  const double none[] = {0.0};
  CHECK(velmora::core::euclidean_norm(none, 0) == 0.0);
}

std::string hex(const velmora::core::Sha256Digest& d) {
  char out[65] = {};
  velmora::core::to_hex(d, out);
  return out;
}

TEST(sha256_known_digests) {
  using velmora::core::sha256;
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  CHECK(hex(sha256(nullptr, 0)) ==
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  CHECK(hex(sha256("abc", 3)) ==
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  CHECK(hex(sha256(two_blocks.data(), two_blocks.size())) ==
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::string million(1000000, 'a');
  CHECK(hex(sha256(million.data(), million.size())) ==
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(sha256_paths_and_batches_agree) {
  using namespace velmora::core;
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 37 + 11));
  for (std::size_t len : {0, 1, 55, 56, 63, 64, 65, 119, 128, 300}) {
    const Sha256Digest want = sha256(data.data(), len, Sha256Path::Portable);
    CHECK(sha256(data.data(), len, Sha256Path::Hardware) == want);
    CHECK(sha256(data.data(), len, Sha256Path::Best) == want);
    const void* msgs[5] = {data.data(), data.data(), data.data(), data.data(), data.data()};
    Sha256Digest many[5];
    for (Sha256Path path : {Sha256Path::Portable, Sha256Path::Best}) {
      sha256_many(msgs, 5, len, many, path);
      for (const Sha256Digest& d : many) CHECK(d == want);
    }
  }
}

TEST(float32_difference_and_square_sums) {
  const float a[] = {1.5f, -2.0f, 3.0f}, b[] = {0.5f, 1.0f, 3.0f};
  const double bd[] = {0.25, 1.0, -1e300};
  float out[3];
  CHECK(velmora::core::float32_difference(a, b, out, 3));
  CHECK((out[0] == 1.0f && out[1] == -3.0f && out[2] == 0.0f));
  CHECK(!velmora::core::float32_difference(a, bd, out, 3));  // 3 + 1e300 overflows float32
  CHECK((out[0] == 1.25f && out[1] == -3.0f));
  const velmora::core::SquareSums small = velmora::core::difference_square_sums(a, b, 3);
  CHECK((small.diff == 10.0 && small.ref == 10.25));
  // Past the vector loop and across blocks: against a plain float64 sum.
  const std::vector<float> x = vtest::cast<float>(vtest::sequence(10007, 5));
  const std::vector<float> y = vtest::cast<float>(vtest::sequence(10007, 6));
  double diff = 0, ref = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const float d = x[i] - y[i];
    diff += static_cast<double>(d * d);
    ref += static_cast<double>(y[i] * y[i]);
  }
  const velmora::core::SquareSums big =
      velmora::core::difference_square_sums(x.data(), y.data(), 10007);
  CHECK_NEAR(big.diff, diff, 1e-9 * diff);
  CHECK_NEAR(big.ref, ref, 1e-9 * ref);
  // The lane sums: exact on short input, near the plain sum past the lanes.
  CHECK(velmora::core::square_sum(a, 3) == 15.25);
  std::vector<double> yd(y.begin(), y.end());
  double exact = 0;
  for (const double v : yd) exact += v * v;
  CHECK_NEAR(velmora::core::square_sum(y.data(), 10007), exact, 1e-12 * exact);
  CHECK(velmora::core::all_finite(yd.data(), 10007));
  yd[10003] = -std::numeric_limits<double>::infinity();
  CHECK(!velmora::core::all_finite(yd.data(), 10007));
  yd[10003] = std::numeric_limits<double>::quiet_NaN();
  CHECK(!velmora::core::all_finite(yd.data(), 10007));
}

// The error of a low-rank product formed a block of rows at a time equals that of the whole
// product: across a block boundary (about a million elements per block), and at rank 0.
TEST(low_rank_square_sums_match_the_whole_product) {
  const std::int64_t m = 350001, k = 2, n = 3;
  const std::vector<float> l = vtest::cast<float>(vtest::sequence(m * k, 7));
  const std::vector<float> r = vtest::cast<float>(vtest::sequence(k * n, 8));
  const std::vector<float> y = vtest::cast<float>(vtest::sequence(m * n, 9));
  std::vector<float> whole(static_cast<std::size_t>(m * n));
  velmora::core::gemm_rm(l.data(), r.data(), m, k, n, whole.data());
  const velmora::core::SquareSums want =
      velmora::core::difference_square_sums(whole.data(), y.data(), m * n);
  const velmora::core::SquareSums got =
      velmora::core::low_rank_square_sums(l.data(), r.data(), y.data(), m, k, n);
  CHECK_NEAR(got.diff, want.diff, 1e-9 * want.diff);
  CHECK_NEAR(got.ref, want.ref, 1e-9 * want.ref);
  const velmora::core::SquareSums none =
      velmora::core::low_rank_square_sums(l.data(), r.data(), y.data(), m, 0, n);
  CHECK_NEAR(none.diff, want.ref, 1e-9 * want.ref);
}

}  // namespace
