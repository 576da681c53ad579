// zset_algebra.cpp — the sorted-set algebra commands: ZUNION, ZINTER, ZDIFF (with
// WITHSCORES), their STORE forms (WEIGHTS, AGGREGATE SUM|MIN|MAX) and ZINTERCARD.
// They parse and reply; the keyspace computes (dict_zalgebra).
#include <algorithm>
#include <vector>

#include "commands/zset_common.h"

namespace {

using namespace zset_cmd;

struct AlgebraRequest {
    ZAlgebra algebra;
    bool with_scores = false;
};

// numkeys (at a[first]) key ... then the options the operation takes; false
// (error replied) on a bad request.
bool parse_algebra(Reply& out, const Args& a, int first, bool store, AlgebraRequest* r) {
    int64_t numkeys = 0;
    if (!parse_numkeys(out, a, first, &numkeys)) return false;
    ZAlgebra& z = r->algebra;
    for (int i = first + 1; i <= first + numkeys; ++i) z.keys.push_back(a[i]);
    z.weights.assign(z.keys.size(), 1.0);
    for (int i = first + 1 + static_cast<int>(numkeys); i < a.argc; ++i) {
        const std::string_view w = a[i];
        if (z.op != ZAlgebra::kDiff && word_is(w, "WEIGHTS") && i + static_cast<int>(numkeys) < a.argc) {
            for (size_t k = 0; k < z.weights.size(); ++k) {
                if (!parse_strict_float(a[++i], &z.weights[k])) {
                    out.error("weight value is not a float");
                    return false;
                }
            }
        } else if (z.op != ZAlgebra::kDiff && word_is(w, "AGGREGATE") && i + 1 < a.argc) {
            const std::string_view how = a[++i];
            if (word_is(how, "SUM")) {
                z.aggregate = ZAggregate::kSum;
            } else if (word_is(how, "MIN")) {
                z.aggregate = ZAggregate::kMin;
            } else if (word_is(how, "MAX")) {
                z.aggregate = ZAggregate::kMax;
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

// The result in member order. False when an input holds another type
// (WRONGTYPE replied).
bool compute(Call& call, const ZAlgebra& z, std::vector<ZOwned>* result) {
    if (dict_zalgebra(call.ks, z, result) == DictStatus::Ok) return true;
    call.out.error(kErrWrongType);
    return false;
}

void algebra_read(Call& call, const Args& a, ZAlgebra::Op op) {
    AlgebraRequest r;
    r.algebra.op = op;
    if (!parse_algebra(call.out, a, 1, false, &r)) return;
    std::vector<ZOwned> result;
    if (!compute(call, r.algebra, &result)) return;
    reply_members(call.out, result, r.with_scores);
}

// The request replays to the same set, so the dispatcher logs it as received
// when it changed the keyspace.
void algebra_store(Call& call, const Args& a, ZAlgebra::Op op) {
    AlgebraRequest r;
    r.algebra.op = op;
    if (!parse_algebra(call.out, a, 2, true, &r)) return;
    std::vector<ZOwned> result;
    if (!compute(call, r.algebra, &result)) return;
    const DictCount stored = dict_zstore_members(call.ks, a[1], result);
    if (!stored.ok()) return call.out.error(kErrOutOfMemory);
    call.out.integer(stored.value);
}

void cmd_zunion(Call& call, const Args& a) { algebra_read(call, a, ZAlgebra::kUnion); }
void cmd_zinter(Call& call, const Args& a) { algebra_read(call, a, ZAlgebra::kInter); }
void cmd_zdiff(Call& call, const Args& a) { algebra_read(call, a, ZAlgebra::kDiff); }
void cmd_zunionstore(Call& call, const Args& a) { algebra_store(call, a, ZAlgebra::kUnion); }
void cmd_zinterstore(Call& call, const Args& a) { algebra_store(call, a, ZAlgebra::kInter); }
void cmd_zdiffstore(Call& call, const Args& a) { algebra_store(call, a, ZAlgebra::kDiff); }

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
    ZAlgebra z;
    z.op = ZAlgebra::kInter;
    for (int i = 2; i < after; ++i) z.keys.push_back(a[i]);
    z.weights.assign(z.keys.size(), 1.0);
    std::vector<ZOwned> result;
    if (!compute(call, z, &result)) return;
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
