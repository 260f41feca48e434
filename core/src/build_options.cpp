// Option parsing: string key/value pairs to a build plan and its index
// configuration. Keys are read in a fixed order, so the first failure reported
// for a given map is always the same; keys that no parser reads are refused.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <system_error>

#include <fmt/format.h>

#include "autotune.hpp"
#include "error.hpp"
#include "index_config.hpp"
#include "kmeans.hpp"
#include "numeric.hpp"

namespace tavren::index {

namespace {

constexpr uint64_t kDefaultPointsPerCentroid = kmeans::kDefaultMaxPointsPerCentroid;
constexpr uint64_t kDefaultDiskAnnSeed = 42;
constexpr uint64_t kDefaultDiskAnnMemoryBudget = 8589934592;  // 8 GiB
constexpr double kDefaultPqCodeRatio = 0.0625;
// Bytes of a row's persisted ID in the IVF files.
constexpr uint64_t kIvfRowIdBytes = 10;

// The UTF-8 encodings of the Unicode White_Space characters.
constexpr std::string_view kWhitespace[] = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85",      // U+0085 next line
    "\xC2\xA0",      // U+00A0 no-break space
    "\xE1\x9A\x80",  // U+1680 ogham space mark
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8",  // U+2028 line separator
    "\xE2\x80\xA9",  // U+2029 paragraph separator
    "\xE2\x80\xAF",  // U+202F narrow no-break space
    "\xE2\x81\x9F",  // U+205F medium mathematical space
    "\xE3\x80\x80",  // U+3000 ideographic space
};

bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// After trimming: an optional single '+' then one or more ASCII digits whose
// value fits in 64 bits; absent for anything else.
std::optional<uint64_t> parse_unsigned(std::string_view value) noexcept {
    std::string_view v = trim_unicode_whitespace(value);
    if (!v.empty() && v[0] == '+') v.remove_prefix(1);
    if (v.empty()) return std::nullopt;
    uint64_t result = 0;
    for (char c : v) {
        if (!is_digit(c)) return std::nullopt;
        auto next = checked_mul(result, 10);
        if (next) next = checked_add(*next, static_cast<uint64_t>(c - '0'));
        if (!next) return std::nullopt;
        result = *next;
    }
    return result;
}

// Accepts exactly: digits with an optional point (at least one digit in all)
// and an optional exponent of 'e' or 'E', an optional sign and digits. The
// sign of the whole literal is handled by the caller.
bool is_decimal_literal(std::string_view s) noexcept {
    size_t i = 0, digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t exp_digits = 0;
        while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

// For a literal that from_chars found out of range: true when it overflowed
// (its first significant digit lies at or above the units place after the
// exponent is applied), false when it underflowed to zero.
bool literal_overflows(std::string_view s) noexcept {
    int64_t int_len = 0, first_nonzero = -1, position = 0;
    size_t i = 0;
    for (; i < s.size() && is_digit(s[i]); ++i, ++int_len, ++position) {
        if (first_nonzero < 0 && s[i] != '0') first_nonzero = position;
    }
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && is_digit(s[i]); ++i, ++position) {
            if (first_nonzero < 0 && s[i] != '0') first_nonzero = position;
        }
    }
    int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
        constexpr int64_t kClamp = int64_t{1} << 40;
        for (; i < s.size(); ++i) {
            exponent = std::min<int64_t>(exponent * 10 + (s[i] - '0'), kClamp);
        }
        if (negative) exponent = -exponent;
    }
    if (first_nonzero < 0) return false;
    return int_len - first_nonzero + exponent > 0;
}

template <class T>
std::optional<T> parse_decimal_float(std::string_view text) noexcept {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    T value;
    if (ascii_iequals(text, "inf") || ascii_iequals(text, "infinity")) {
        value = std::numeric_limits<T>::infinity();
    } else if (ascii_iequals(text, "nan")) {
        value = std::numeric_limits<T>::quiet_NaN();
    } else {
        if (!is_decimal_literal(text)) return std::nullopt;
        auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
        if (ec == std::errc::result_out_of_range) {
            value = literal_overflows(text) ? std::numeric_limits<T>::infinity() : T(0);
        } else if (ec != std::errc() || ptr != text.data() + text.size()) {
            return std::nullopt;
        }
    }
    return negative ? -value : value;
}

[[noreturn]] void missing_required(std::string_view key) { invalid_input("missing required option '{}'", key); }

std::optional<uint64_t> optional_usize(ConfigOptions& options, std::string_view key) {
    auto value = options.optional(key);
    if (!value) return std::nullopt;
    return parse_usize_option(key, *value);
}

IndexType parse_index_type(const std::string& value) {
    const std::string_view v = trim_unicode_whitespace(value);
    if (v == "ivf_flat") return IndexType::IvfFlat;
    if (v == "ivf_pq") return IndexType::IvfPq;
    if (v == "ivf_rq") return IndexType::IvfRq;
    if (v == "ivf_sq") return IndexType::IvfSq;
    if (v == "diskann") return IndexType::DiskAnn;
    invalid_input("unknown index.type '{}'; expected ivf_flat, ivf_sq, ivf_pq, ivf_rq, or diskann", value);
}

uint32_t parse_metric(const std::string& value) {
    const std::string_view v = trim_unicode_whitespace(value);
    if (v == "l2") return static_cast<uint32_t>(MetricType::L2);
    if (v == "inner_product") return static_cast<uint32_t>(MetricType::InnerProduct);
    if (v == "cosine") return static_cast<uint32_t>(MetricType::Cosine);
    invalid_input("unknown metric '{}'; expected l2, inner_product, or cosine", value);
}

DeploymentProfile parse_deployment_profile(std::optional<std::string> value) {
    if (!value) return DeploymentProfile::Auto;
    const std::string_view v = trim_unicode_whitespace(*value);
    if (v == "auto") return DeploymentProfile::Auto;
    if (v == "memory") return DeploymentProfile::Memory;
    if (v == "local_storage" || v == "local") return DeploymentProfile::LocalStorage;
    if (v == "remote_storage" || v == "remote") return DeploymentProfile::RemoteStorage;
    if (v == "object_store") return DeploymentProfile::ObjectStore;
    invalid_input("option '{}' must be auto, memory, local_storage, remote_storage, or object_store",
                  "deployment-profile");
}

bool parse_ivf_coarse_assignment_option(ConfigOptions& options) {
    auto value = options.optional("ivf.coarse-assignment");
    if (!value) return true;
    const std::string_view v = trim_unicode_whitespace(*value);
    if (v == "auto") return true;
    if (v == "exact") return false;
    invalid_input("option 'ivf.coarse-assignment' must be auto or exact");
}

bool parse_ivf_pq_encoding_option(ConfigOptions& options, IndexType type) {
    auto value = options.optional("ivf.pq-encoding");
    if (!value) return false;
    if (type != IndexType::IvfPq) invalid_input("option 'ivf.pq-encoding' is only valid for IVF-PQ");
    const std::string_view v = trim_unicode_whitespace(*value);
    if (v == "auto") return false;
    if (v == "canonical") return true;
    invalid_input("option 'ivf.pq-encoding' must be auto or canonical");
}

uint64_t parse_nlist_options(ConfigOptions& options, std::optional<uint64_t> expected_vector_count) {
    auto value = options.optional("nlist");
    if (!value || trim_unicode_whitespace(*value) == "auto") {
        if (!expected_vector_count) {
            invalid_input(
                "automatic nlist requires option 'expected-vector-count'; set nlist explicitly when the final row "
                "count is unknown");
        }
        return autotune::infer_ivf_nlist(*expected_vector_count);
    }
    return parse_usize_option("nlist", *value);
}

uint64_t parse_training_max_points_per_centroid(ConfigOptions& options, std::string_view key) {
    return optional_usize(options, key).value_or(kDefaultPointsPerCentroid);
}

// The code budget of an IVF row under `max-bytes-per-vector`: what is left
// after the persisted row ID.
std::optional<uint64_t> ivf_code_budget(std::optional<uint64_t> max_bytes_per_vector, std::string_view type_name) {
    if (!max_bytes_per_vector) return std::nullopt;
    if (*max_bytes_per_vector <= kIvfRowIdBytes) {
        invalid_input("max-bytes-per-vector {} cannot fit the persisted row-ID encoding for {}", *max_bytes_per_vector,
                      type_name);
    }
    return *max_bytes_per_vector - kIvfRowIdBytes;
}

enum class PqMChoice { NearestDivisor, Rounded };

uint64_t parse_pq_m_options(ConfigOptions& options, uint64_t dimension, uint64_t bits, PqMChoice choice,
                            std::optional<uint64_t> code_budget) {
    const std::optional<uint64_t> explicit_m = optional_usize(options, "pq.m");
    const std::optional<std::string> ratio_value = options.optional("pq.code-ratio");
    double ratio = kDefaultPqCodeRatio;
    if (ratio_value) {
        ratio = parse_f64_option("pq.code-ratio", *ratio_value);
    } else if (code_budget) {
        const double raw_bytes = static_cast<double>(std::max<uint64_t>(saturating_mul(4, dimension), 1));
        ratio = std::min(static_cast<double>(*code_budget) / raw_bytes, static_cast<double>(bits) / 32.0);
    }
    validate_pq_code_ratio(bits, ratio);
    if (explicit_m) return *explicit_m;
    if (choice == PqMChoice::Rounded) return autotune::infer_rounded_pq_m(dimension, bits, ratio);
    if (code_budget && !ratio_value) {
        return autotune::infer_uniform_pq_m_within_budget(dimension, bits, *code_budget);
    }
    return autotune::infer_uniform_pq_m(dimension, bits, ratio);
}

// An enumerated DiskANN option over the preset's `field`: "auto" keeps it, a
// listed name replaces it, anything else fails with `message`. Returns whether
// the key was present.
template <class T>
bool override_preset_choice(ConfigOptions& options, std::string_view key, T& field,
                            std::initializer_list<std::pair<std::string_view, T>> choices, std::string_view message) {
    auto value = options.optional(key);
    if (!value) return false;
    const std::string_view v = trim_unicode_whitespace(*value);
    if (v == "auto") return true;
    for (const auto& [name, choice] : choices) {
        if (v == name) {
            field = choice;
            return true;
        }
    }
    invalid_input("{}", message);
}

DiskAnnBuildConfig parse_diskann_options(ConfigOptions& options, uint64_t dimension, DeploymentProfile profile,
                                         std::optional<float> target_recall,
                                         std::optional<uint64_t> max_bytes_per_vector) {
    DiskAnnBuildPreset preset = DiskAnnBuildPreset::Balanced;
    if (auto value = options.optional("diskann.build-preset")) {
        // Compared as given: no trimming for this key.
        if (*value == "fast_build") {
            preset = DiskAnnBuildPreset::FastBuild;
        } else if (*value == "balanced") {
            preset = DiskAnnBuildPreset::Balanced;
        } else if (*value == "high_recall") {
            preset = DiskAnnBuildPreset::HighRecall;
        } else {
            invalid_input("diskann.build-preset must be fast_build, balanced, or high_recall, got '{}'", *value);
        }
    } else if (target_recall) {
        if (*target_recall >= 0.97f) {
            preset = DiskAnnBuildPreset::HighRecall;
        } else if (*target_recall > 0.85f) {
            preset = DiskAnnBuildPreset::Balanced;
        } else {
            preset = DiskAnnBuildPreset::FastBuild;
        }
    }

    uint64_t seed = kDefaultDiskAnnSeed;
    if (auto value = options.optional("diskann.seed")) {
        const std::optional<uint64_t> parsed = parse_unsigned(*value);
        if (!parsed) invalid_input("option '{}' must be a non-negative integer", "diskann.seed");
        seed = *parsed;
    }
    const uint64_t budget = optional_usize(options, "diskann.memory-budget-bytes").value_or(kDefaultDiskAnnMemoryBudget);

    DiskAnnBuildConfig config = autotune::diskann_build_preset(preset, dimension, profile, budget, seed);
    const uint64_t preset_list_size = config.build_search_list_size;

    if (auto degree = optional_usize(options, "diskann.max-degree")) config.max_degree = *degree;
    if (auto list_size = optional_usize(options, "diskann.build-search-list-size")) {
        config.build_search_list_size = *list_size;
    } else {
        config.build_search_list_size = std::max(preset_list_size, config.max_degree);
    }
    if (auto alpha = options.optional("diskann.alpha")) config.alpha = parse_f32_option("diskann.alpha", *alpha);

    override_preset_choice(options, "diskann.storage-layout", config.storage_layout,
                           {{"compact", StorageLayout::Compact}, {"interleaved", StorageLayout::Interleaved}},
                           "diskann.storage-layout must be auto, compact, or interleaved");
    const bool encoding_given = override_preset_choice(
        options, "diskann.raw-vector-encoding", config.raw_vector_encoding,
        {{"f32", RawVectorEncoding::F32}, {"f16", RawVectorEncoding::F16}},
        "diskann.raw-vector-encoding must be auto, f32, or f16");
    // Only an absent key gives way to a tight byte budget; an explicit "auto" keeps the preset's encoding.
    if (!encoding_given && max_bytes_per_vector &&
        *max_bytes_per_vector < saturating_add(saturating_mul(4, config.max_degree), saturating_mul(4, dimension))) {
        config.raw_vector_encoding = RawVectorEncoding::F16;
    }
    override_preset_choice(
        options, "diskann.build-distance", config.build_distance,
        {{"full_precision", BuildDistance::FullPrecision}, {"product_quantized", BuildDistance::ProductQuantized}},
        "diskann.build-distance must be auto, full_precision, or product_quantized");
    return config;
}

}  // namespace

// ---- option map ---------------------------------------------------------------

ConfigOptions ConfigOptions::build(const OptionPairs& options) {
    ConfigOptions result;
    for (const auto& [key, value] : options) {
        const std::string_view trimmed = trim_unicode_whitespace(key);
        if (trimmed.empty()) invalid_input("option key must not be empty");
        auto [it, inserted] = result.values_.emplace(std::string(trimmed), value);
        if (!inserted) invalid_input("duplicate option key '{}'", trimmed);
    }
    return result;
}

std::optional<std::string> ConfigOptions::optional(std::string_view key) {
    auto it = values_.find(std::string(key));
    if (it == values_.end()) return std::nullopt;
    consumed_.insert(it->first);
    return it->second;
}

void ConfigOptions::reject_unknown() const {
    std::vector<std::string_view> unknown;
    for (const auto& [key, value] : values_) {
        if (!consumed_.contains(key)) unknown.push_back(key);
    }
    if (unknown.empty()) return;
    // std::string_view compares as unsigned bytes (char_traits<char>::compare
    // is memcmp-like), which is the byte order the message promises.
    std::sort(unknown.begin(), unknown.end());
    invalid_input("unknown vector index option(s): {}", fmt::join(unknown, ", "));
}

// ---- value parsers ------------------------------------------------------------

std::string_view trim_unicode_whitespace(std::string_view text) noexcept {
    // The byte length of the white-space character `text` starts (ends) with, 0 when none.
    auto leading = [](std::string_view t) -> size_t {
        for (std::string_view ws : kWhitespace) {
            if (t.starts_with(ws)) return ws.size();
        }
        return 0;
    };
    auto trailing = [](std::string_view t) -> size_t {
        for (std::string_view ws : kWhitespace) {
            if (t.ends_with(ws)) return ws.size();
        }
        return 0;
    };
    while (const size_t n = leading(text)) text.remove_prefix(n);
    while (const size_t n = trailing(text)) text.remove_suffix(n);
    return text;
}

uint64_t parse_usize_option(std::string_view key, std::string_view value) {
    const std::optional<uint64_t> parsed = parse_unsigned(value);
    if (!parsed) invalid_input("option '{}' must be a positive integer", key);
    return *parsed;
}

float parse_f32_option(std::string_view key, std::string_view value) {
    auto parsed = parse_decimal_float<float>(trim_unicode_whitespace(value));
    if (!parsed) invalid_input("option '{}' must be a number", key);
    return *parsed;
}

double parse_f64_option(std::string_view key, std::string_view value) {
    auto parsed = parse_decimal_float<double>(trim_unicode_whitespace(value));
    if (!parsed) invalid_input("option '{}' must be a number", key);
    return *parsed;
}

bool parse_bool_option(std::string_view key, std::string_view value) {
    const std::string_view v = trim_unicode_whitespace(value);
    if (v == "true") return true;
    if (v == "false") return false;
    invalid_input("option '{}' must be true or false", key);
}

// ---- the plan -------------------------------------------------------------------

VectorIndexBuildPlan VectorIndexBuildPlan::from_options(const OptionPairs& pairs) {
    ConfigOptions options = ConfigOptions::build(pairs);
    VectorIndexBuildPlan plan;

    auto type_value = options.optional("index.type");
    if (!type_value) missing_required("index.type");
    const IndexType type = parse_index_type(*type_value);

    auto dimension_value = options.optional("dimension");
    if (!dimension_value) missing_required("dimension");
    const uint64_t dimension = parse_usize_option("dimension", *dimension_value);

    plan.expected_vector_count = optional_usize(options, "expected-vector-count");
    if (plan.expected_vector_count && *plan.expected_vector_count == 0) {
        invalid_input("expected-vector-count must be greater than 0");
    }

    auto metric_value = options.optional("metric");
    if (!metric_value) missing_required("metric");
    const uint32_t metric = parse_metric(*metric_value);

    if (auto value = options.optional("target-recall")) {
        const float recall = parse_f32_option("target-recall", *value);
        // NaN fails both comparisons; -0.0 passes.
        if (!(recall >= 0.0f && recall <= 1.0f)) invalid_input("target-recall must be finite and in [0, 1]");
        plan.target_recall = recall;
    }

    plan.max_bytes_per_vector = optional_usize(options, "max-bytes-per-vector");

    if (auto value = options.optional("max-build-seconds")) {
        const double seconds = parse_f64_option("max-build-seconds", *value);
        if (!(std::isfinite(seconds) && seconds > 0.0)) {
            invalid_input("max-build-seconds must be finite and greater than 0");
        }
        plan.max_build_seconds = seconds;
    }

    plan.deployment_profile = parse_deployment_profile(options.optional("deployment-profile"));

    const bool approximate = type == IndexType::DiskAnn ? false : parse_ivf_coarse_assignment_option(options);
    const bool canonical_pq_encoding = parse_ivf_pq_encoding_option(options, type);

    switch (type) {
        case IndexType::IvfFlat:
        case IndexType::IvfSq: {
            const uint64_t nlist = parse_nlist_options(options, plan.expected_vector_count);
            const uint64_t points = parse_training_max_points_per_centroid(options, "ivf.train.max-points-per-centroid");
            if (type == IndexType::IvfFlat) {
                plan.config.value = IvfFlatConfig{dimension, nlist, points, metric, approximate};
            } else {
                plan.config.value = IvfSqConfig{dimension, nlist, points, metric, approximate};
            }
            break;
        }
        case IndexType::IvfPq: {
            IvfPqConfig c;
            c.dimension = dimension;
            c.metric = metric;
            c.approximate_coarse_assignment = approximate;
            c.canonical_pq_encoding = canonical_pq_encoding;
            c.nlist = parse_nlist_options(options, plan.expected_vector_count);
            const auto code_budget = ivf_code_budget(plan.max_bytes_per_vector, "IVF-PQ");
            c.m = parse_pq_m_options(options, dimension, 8, PqMChoice::NearestDivisor, code_budget);
            auto opq = options.optional("use-opq");
            if (!opq || trim_unicode_whitespace(*opq) == "auto") {
                c.use_opq = plan.target_recall && *plan.target_recall >= 0.9f;
            } else {
                c.use_opq = parse_bool_option("use-opq", *opq);
            }
            c.max_points_per_centroid = parse_training_max_points_per_centroid(options, "ivf.train.max-points-per-centroid");
            c.pq_max_points_per_centroid =
                parse_training_max_points_per_centroid(options, "pq.train.max-points-per-centroid");
            plan.config.value = c;
            break;
        }
        case IndexType::IvfRq: {
            IvfRqConfig c;
            c.dimension = dimension;
            c.metric = metric;
            c.approximate_coarse_assignment = approximate;
            if (auto bits = optional_usize(options, "rq.bits")) {
                c.bits = *bits;
            } else if (auto code_budget = ivf_code_budget(plan.max_bytes_per_vector, "IVF-RQ")) {
                c.bits = autotune::infer_rq_bits(dimension, *code_budget);
            } else {
                c.bits = 4;
            }
            c.nlist = parse_nlist_options(options, plan.expected_vector_count);
            c.max_points_per_centroid = parse_training_max_points_per_centroid(options, "ivf.train.max-points-per-centroid");
            plan.config.value = c;
            break;
        }
        case IndexType::DiskAnn: {
            DiskAnnConfig c;
            c.dimension = dimension;
            c.metric = metric;
            if (auto bits = optional_usize(options, "pq.bits")) {
                c.pq_bits = *bits;
            } else {
                const bool tight = plan.max_bytes_per_vector &&
                                   *plan.max_bytes_per_vector < saturating_add(saturating_mul(4, dimension), 256);
                c.pq_bits = tight ? 4 : 8;
            }
            c.diskann = parse_diskann_options(options, dimension, plan.deployment_profile, plan.target_recall,
                                              plan.max_bytes_per_vector);
            std::optional<uint64_t> code_budget;
            if (plan.max_bytes_per_vector) {
                const uint64_t before = diskann_bytes_before_pq(dimension, c.diskann);
                if (*plan.max_bytes_per_vector < before) {
                    invalid_input(
                        "max-bytes-per-vector {} cannot fit DiskANN raw vectors, graph edges, and row-ID metadata "
                        "({} bytes before PQ)",
                        *plan.max_bytes_per_vector, before);
                }
                code_budget = *plan.max_bytes_per_vector - before;
            }
            c.m = parse_pq_m_options(options, dimension, c.pq_bits, PqMChoice::Rounded, code_budget);
            c.pq_max_points_per_centroid =
                parse_training_max_points_per_centroid(options, "pq.train.max-points-per-centroid");
            plan.config.value = c;
            break;
        }
    }

    options.reject_unknown();
    validate_config(plan.config);
    if (plan.max_bytes_per_vector) {
        validate_persisted_size_objective(plan.config, plan.expected_vector_count, *plan.max_bytes_per_vector);
    }
    return plan;
}

VectorIndexConfig VectorIndexConfig::from_options(const OptionPairs& options) {
    VectorIndexBuildPlan plan = VectorIndexBuildPlan::from_options(options);
    if (plan.max_build_seconds) {
        invalid_input(
            "max-build-seconds requires measured offline calibration through VectorIndexBuildPlan and "
            "select_calibrated_candidate");
    }
    return std::move(plan.config);
}

}  // namespace tavren::index
