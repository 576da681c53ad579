// zset_algebra.cpp — set algebra over sorted sets: ZUNION, ZINTER, ZDIFF (with
// WITHSCORES), their STORE forms (WEIGHTS, AGGREGATE SUM|MIN|MAX) and ZINTERCARD.
// Plain sets take part with every member scored 1. Linear in the inputs, plus
// O(log n) per member stored.
#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "commands/zset_common.h"

namespace {

using namespace zset_cmd;

enum class Op { kUnion, kInter, kDiff };
enum class Aggregate { kSum, kMin, kMax };

// One input: its members with scores, and a lookup by member.
struct Operand {
    std::vector<ZOwned> members;
    std::unordered_map<std::string_view, double> by_member;
};

// Reads an input key: a sorted set, a plain set (scores 1) or a missing key
// (empty). False when it holds another type.
bool read_operand(Keyspace* ks, std::string_view key, Operand* o) {
    const uint32_t t = dict_key_type(ks, key);
    if (t == KEY_TYPE_ZSET) {
        std::vector<ZMember> items;
        dict_zrange(ks, key, 0, -1, false, &items);
        o->members.reserve(items.size());
        for (const ZMember& m : items) o->members.push_back(ZOwned{std::string(m.member), m.score});
    } else if (t == KEY_TYPE_SET) {
        std::vector<std::string_view> items;
        dict_smembers(ks, key, &items);
        o->members.reserve(items.size());
        for (std::string_view m : items) o->members.push_back(ZOwned{std::string(m), 1.0});
    } else if (t != KEY_TYPE_NONE) {
        return false;
    }
    o->by_member.reserve(o->members.size());
    for (const ZOwned& m : o->members) o->by_member.emplace(m.member, m.score);
    return true;
}

struct AlgebraRequest {
    Op op = Op::kUnion;
    std::vector<std::string_view> keys;
    std::vector<double> weights;
    Aggregate aggregate = Aggregate::kSum;
    bool with_scores = false;
};

// numkeys (at a[first]) key ... then the options the operation takes; false
// (error replied) on a bad request.
bool parse_algebra(Reply& out, const Args& a, int first, bool store, AlgebraRequest* r) {
    int64_t numkeys = 0;
    if (!parse_numkeys(out, a, first, &numkeys)) return false;
    for (int i = first + 1; i <= first + numkeys; ++i) r->keys.push_back(a[i]);
    r->weights.assign(r->keys.size(), 1.0);
    for (int i = first + 1 + static_cast<int>(numkeys); i < a.argc; ++i) {
        const std::string_view w = a[i];
        if (r->op != Op::kDiff && word_is(w, "WEIGHTS") && i + static_cast<int>(numkeys) < a.argc) {
            for (size_t k = 0; k < r->weights.size(); ++k) {
                if (!parse_strict_float(a[++i], &r->weights[k])) {
                    out.error("weight value is not a float");
                    return false;
                }
            }
        } else if (r->op != Op::kDiff && word_is(w, "AGGREGATE") && i + 1 < a.argc) {
            const std::string_view how = a[++i];
            if (word_is(how, "SUM")) {
                r->aggregate = Aggregate::kSum;
            } else if (word_is(how, "MIN")) {
                r->aggregate = Aggregate::kMin;
            } else if (word_is(how, "MAX")) {
                r->aggregate = Aggregate::kMax;
            } else {
                out.error(kErrSyntax);
                return false;
            }
        } else if (!store && word_is(w, "WITHSCORES")) {
            r->with_scores = true;
        } else {
            out.error(kErrSyntax);
            return false;
        }
    }
    return true;
}

double combine(Aggregate how, double acc, double v) {
    double r = how == Aggregate::kSum ? acc + v : how == Aggregate::kMin ? std::min(acc, v) : std::max(acc, v);
    return std::isnan(r) ? 0.0 : r;  // +inf plus -inf
}

double weighted(double score, double weight) {
    const double r = score * weight;
    return std::isnan(r) ? 0.0 : r;  // inf times 0
}

// The result in member order (score, then bytes). False when an input holds
// another type (WRONGTYPE replied).
bool compute(Call& call, const AlgebraRequest& r, std::vector<ZOwned>* result) {
    std::vector<Operand> inputs(r.keys.size());
    for (size_t k = 0; k < r.keys.size(); ++k) {
        if (!read_operand(call.ks, r.keys[k], &inputs[k])) {
            call.out.error(kErrWrongType);
            return false;
        }
    }
    if (r.op == Op::kUnion) {
        std::unordered_map<std::string_view, size_t> at;
        for (size_t k = 0; k < inputs.size(); ++k) {
            for (const ZOwned& m : inputs[k].members) {
                const double v = weighted(m.score, r.weights[k]);
                auto [it, added] = at.emplace(m.member, result->size());
                if (added) {
                    result->push_back(ZOwned{m.member, v});
                } else {
                    ZOwned& slot = (*result)[it->second];
                    slot.score = combine(r.aggregate, slot.score, v);
                }
            }
        }
    } else {
        for (const ZOwned& m : inputs[0].members) {
            double score = r.op == Op::kInter ? weighted(m.score, r.weights[0]) : m.score;
            bool keep = true;
            for (size_t k = 1; k < inputs.size() && keep; ++k) {
                auto it = inputs[k].by_member.find(m.member);
                const bool present = it != inputs[k].by_member.end();
                keep = r.op == Op::kInter ? present : !present;
                if (keep && r.op == Op::kInter) score = combine(r.aggregate, score, weighted(it->second, r.weights[k]));
            }
            if (keep) result->push_back(ZOwned{m.member, score});
        }
    }
    std::sort(result->begin(), result->end(), [](const ZOwned& x, const ZOwned& y) {
        return x.score != y.score ? x.score < y.score : x.member < y.member;
    });
    return true;
}

void algebra_read(Call& call, const Args& a, Op op) {
    AlgebraRequest r;
    r.op = op;
    if (!parse_algebra(call.out, a, 1, false, &r)) return;
    std::vector<ZOwned> result;
    if (!compute(call, r, &result)) return;
    reply_members(call.out, result, r.with_scores);
}

// The request replays to the same set, so the dispatcher logs it as received
// when it changed the keyspace.
void algebra_store(Call& call, const Args& a, Op op) {
    AlgebraRequest r;
    r.op = op;
    if (!parse_algebra(call.out, a, 2, true, &r)) return;
    std::vector<ZOwned> result;
    if (!compute(call, r, &result)) return;
    const DictCount stored = store_members(call.ks, a[1], result);
    if (!stored.ok()) return call.out.error(kErrOutOfMemory);
    call.out.integer(stored.value);
}

void cmd_zunion(Call& call, const Args& a) { algebra_read(call, a, Op::kUnion); }
void cmd_zinter(Call& call, const Args& a) { algebra_read(call, a, Op::kInter); }
void cmd_zdiff(Call& call, const Args& a) { algebra_read(call, a, Op::kDiff); }
void cmd_zunionstore(Call& call, const Args& a) { algebra_store(call, a, Op::kUnion); }
void cmd_zinterstore(Call& call, const Args& a) { algebra_store(call, a, Op::kInter); }
void cmd_zdiffstore(Call& call, const Args& a) { algebra_store(call, a, Op::kDiff); }

// ZINTERCARD numkeys key ... [LIMIT n]: the size of the intersection, counting
// stops at n when n > 0.
void cmd_zintercard(Call& call, const Args& a) {
    Reply& out = call.out;
    int64_t numkeys = 0;
    if (!parse_numkeys(out, a, 1, &numkeys)) return;
    int64_t limit = 0;
    const int after = 2 + static_cast<int>(numkeys);
    if (after < a.argc) {
        if (after + 2 != a.argc || !word_is(a[after], "LIMIT")) return out.error(kErrSyntax);
        if (!parse_strict_ll(a[after + 1], &limit) || limit < 0) return out.error("LIMIT can't be negative");
    }
    AlgebraRequest r;
    r.op = Op::kInter;
    for (int i = 2; i < after; ++i) r.keys.push_back(a[i]);
    r.weights.assign(r.keys.size(), 1.0);
    std::vector<ZOwned> result;
    if (!compute(call, r, &result)) return;
    const int64_t n = static_cast<int64_t>(result.size());
    out.integer(limit > 0 ? std::min(n, limit) : n);
}

const CommandRegistrar registrar({
    {"ZUNION", 3, -1, 0, cmd_zunion},
    {"ZINTER", 3, -1, 0, cmd_zinter},
    {"ZDIFF", 3, -1, 0, cmd_zdiff},
    {"ZUNIONSTORE", 4, -1, kCmdWrite, cmd_zunionstore},
    {"ZINTERSTORE", 4, -1, kCmdWrite, cmd_zinterstore},
    {"ZDIFFSTORE", 4, -1, kCmdWrite, cmd_zdiffstore},
    {"ZINTERCARD", 3, -1, 0, cmd_zintercard},
});

}  // namespace
