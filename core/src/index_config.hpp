// Build-side configuration of the index facade: the index type and metric
// codes, the deployment profile, the per-type index configuration and its
// uniform resolved view, the option parsing that produces them from string
// key/value pairs, and the checks that make a configuration buildable.
//
// Everything here is a pure function of its arguments. Every failure is an
// Error of kind InvalidInput carrying the message the host will see (the C
// layer adds its own prefix).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "diskann_limits.hpp"
#include "metric.hpp"

namespace tavren::index {

// One visitor out of several lambdas, for std::visit over the configuration
// variants.
template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// The index type code, as stored in metadata records.
enum class IndexType : uint32_t { IvfFlat = 0, IvfPq = 1, IvfRq = 4, DiskAnn = 5, IvfSq = 6 };
// The metric code kept in every index and file header.
using tavren::MetricType;  // metric.hpp

// Where an index is expected to be read from; also the DiskANN reader's
// latency profile (never Auto there).
enum class DeploymentProfile : uint8_t { Auto = 0, Memory = 1, LocalStorage = 2, RemoteStorage = 3, ObjectStore = 4 };

enum class DiskAnnBuildPreset : uint8_t { FastBuild = 0, Balanced = 1, HighRecall = 2 };

using diskann::BuildDistance;
using diskann::DiskAnnBuildConfig;
using diskann::RawVectorEncoding;
using diskann::StorageLayout;

struct IvfFlatConfig {
    uint64_t dimension = 0;
    uint64_t nlist = 0;
    uint64_t max_points_per_centroid = 0;  // coarse k-means
    uint32_t metric = 0;
    bool approximate_coarse_assignment = true;
    friend bool operator==(const IvfFlatConfig&, const IvfFlatConfig&) = default;
};

struct IvfSqConfig {
    uint64_t dimension = 0;
    uint64_t nlist = 0;
    uint64_t max_points_per_centroid = 0;
    uint32_t metric = 0;
    bool approximate_coarse_assignment = true;
    friend bool operator==(const IvfSqConfig&, const IvfSqConfig&) = default;
};

// IVF-PQ built through this configuration always uses 8-bit codes.
struct IvfPqConfig {
    uint64_t dimension = 0;
    uint64_t nlist = 0;
    uint64_t m = 0;                           // PQ sub-vectors
    uint64_t max_points_per_centroid = 0;     // coarse k-means
    uint64_t pq_max_points_per_centroid = 0;  // PQ k-means
    uint32_t metric = 0;
    bool use_opq = false;
    bool approximate_coarse_assignment = true;
    bool canonical_pq_encoding = false;
    friend bool operator==(const IvfPqConfig&, const IvfPqConfig&) = default;
};

struct IvfRqConfig {
    uint64_t dimension = 0;
    uint64_t nlist = 0;
    uint64_t bits = 0;  // RaBitQ bits per dimension
    uint64_t max_points_per_centroid = 0;
    uint32_t metric = 0;
    bool approximate_coarse_assignment = true;
    friend bool operator==(const IvfRqConfig&, const IvfRqConfig&) = default;
};

struct DiskAnnConfig {
    uint64_t dimension = 0;
    uint64_t m = 0;        // PQ sub-vectors
    uint64_t pq_bits = 0;  // 4 or 8
    uint64_t pq_max_points_per_centroid = 0;
    DiskAnnBuildConfig diskann;
    uint32_t metric = 0;
    friend bool operator==(const DiskAnnConfig&, const DiskAnnConfig&) = default;
};

// A uniform view of any configuration variant; computed on demand, not kept.
struct ResolvedIndexConfig {
    std::optional<uint64_t> pq_m;
    std::optional<uint64_t> pq_bits;
    std::optional<uint64_t> rq_bits;
    std::optional<uint64_t> max_points_per_centroid;
    std::optional<uint64_t> pq_max_points_per_centroid;
    std::optional<DiskAnnBuildConfig> diskann;
    uint64_t dimension = 0;
    uint64_t nlist = 0;
    uint32_t metric = 0;
    uint32_t index_type = 0;
    bool use_opq = false;
    bool approximate_coarse_assignment = false;
    bool canonical_pq_encoding = false;
    friend bool operator==(const ResolvedIndexConfig&, const ResolvedIndexConfig&) = default;
};

// Caller's option pairs, in the caller's order (the order decides which of
// several malformed keys is reported).
using OptionPairs = std::vector<std::pair<std::string, std::string>>;

// The configuration of one index to build: a closed set of five variants.
struct VectorIndexConfig {
    using Variant = std::variant<IvfFlatConfig, IvfSqConfig, IvfPqConfig, IvfRqConfig, DiskAnnConfig>;
    Variant value;

    IndexType index_type() const noexcept;
    ResolvedIndexConfig resolved() const noexcept;

    // Parses a build plan and returns its configuration; refuses
    // `max-build-seconds`, which needs measured calibration.
    static VectorIndexConfig from_options(const OptionPairs& options);

    friend bool operator==(const VectorIndexConfig&, const VectorIndexConfig&) = default;
};

// The build goals the caller stated, plus the configuration they led to.
struct VectorIndexBuildPlan {
    std::optional<uint64_t> expected_vector_count;  // never 0
    std::optional<uint64_t> max_bytes_per_vector;
    std::optional<double> max_build_seconds;        // finite and positive
    std::optional<float> target_recall;             // in [0, 1]
    DeploymentProfile deployment_profile = DeploymentProfile::Auto;
    VectorIndexConfig config;

    static VectorIndexBuildPlan from_options(const OptionPairs& options);
};

// ---- option map -------------------------------------------------------------

// The option map of one parse: keys trimmed of Unicode white space, values as
// given, and the record of which keys a parser looked up.
class ConfigOptions {
public:
    // Fails with "option key must not be empty" or "duplicate option key '{}'".
    static ConfigOptions build(const OptionPairs& options);

    // The value of exactly `key` (case-sensitive); marks the key consumed.
    std::optional<std::string> optional(std::string_view key);
    // Fails with "unknown vector index option(s): {}" listing every key that
    // no parser looked up, sorted by bytes.
    void reject_unknown() const;

private:
    std::unordered_map<std::string, std::string> values_;
    std::unordered_set<std::string> consumed_;
};

// ---- value parsers ----------------------------------------------------------

// `text` without leading and trailing Unicode White_Space characters.
std::string_view trim_unicode_whitespace(std::string_view text) noexcept;

// An optional single '+' then ASCII digits fitting in 64 bits, after trimming;
// otherwise "option '{key}' must be a positive integer".
uint64_t parse_usize_option(std::string_view key, std::string_view value);
// A decimal floating-point literal (or inf, infinity, nan in any case), after
// trimming, rounded to nearest; otherwise "option '{key}' must be a number".
float parse_f32_option(std::string_view key, std::string_view value);
double parse_f64_option(std::string_view key, std::string_view value);
// Exactly "true" or "false" after trimming; otherwise "option '{key}' must be true or false".
bool parse_bool_option(std::string_view key, std::string_view value);

// ---- validation -------------------------------------------------------------

// The checks that make a configuration buildable, in a fixed order.
void validate_config(const VectorIndexConfig& config);
// The PQ bit width must be 4 or 8 and the ratio in (0, bits / 32].
void validate_pq_code_ratio(uint64_t bits, double ratio);
// Refuses a configuration whose estimated persisted bytes per vector exceed
// `max_bytes_per_vector`; fixed bytes are amortised over the expected count.
void validate_persisted_size_objective(const VectorIndexConfig& config, std::optional<uint64_t> expected_vector_count,
                                       uint64_t max_bytes_per_vector);
// Returns `value`, or fails with "{name} must be greater than 0".
uint64_t validate_positive(uint64_t value, std::string_view name);

// Persisted DiskANN row bytes apart from the PQ code: raw vector, adjacency
// list and row-ID metadata.
uint64_t diskann_bytes_before_pq(uint64_t dimension, const DiskAnnBuildConfig& config);

}  // namespace tavren::index
