// zset_algebra.cpp — algebra over sorted sets in the keyspace: union,
// intersection and difference with weights and an aggregate, plain sets taking
// part with every member scored 1, and the store of a result. Linear in the
// inputs, plus sorting the result and O(log n) per member stored.
#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "keyspace/keyspace.h"

namespace {

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

double combine(ZAggregate how, double acc, double v) {
    double r = how == ZAggregate::kSum ? acc + v : how == ZAggregate::kMin ? std::min(acc, v) : std::max(acc, v);
    return std::isnan(r) ? 0.0 : r;  // +inf plus -inf
}

double weighted(double score, double weight) {
    const double r = score * weight;
    return std::isnan(r) ? 0.0 : r;  // inf times 0
}

void unite(const std::vector<Operand>& inputs, const ZAlgebra& req, std::vector<ZOwned>* result) {
    std::unordered_map<std::string_view, size_t> at;
    for (size_t k = 0; k < inputs.size(); ++k) {
        for (const ZOwned& m : inputs[k].members) {
            const double v = weighted(m.score, req.weights[k]);
            auto [it, added] = at.emplace(m.member, result->size());
            if (added) {
                result->push_back(ZOwned{m.member, v});
            } else {
                ZOwned& slot = (*result)[it->second];
                slot.score = combine(req.aggregate, slot.score, v);
            }
        }
    }
}

// The first input's members that every other input holds (intersection) or
// none does (difference).
void filter_first(const std::vector<Operand>& inputs, const ZAlgebra& req, std::vector<ZOwned>* result) {
    const bool inter = req.op == ZAlgebra::kInter;
    for (const ZOwned& m : inputs[0].members) {
        double score = inter ? weighted(m.score, req.weights[0]) : m.score;
        bool keep = true;
        for (size_t k = 1; k < inputs.size() && keep; ++k) {
            auto it = inputs[k].by_member.find(m.member);
            const bool present = it != inputs[k].by_member.end();
            keep = inter ? present : !present;
            if (keep && inter) score = combine(req.aggregate, score, weighted(it->second, req.weights[k]));
        }
        if (keep) result->push_back(ZOwned{m.member, score});
    }
}

}  // namespace

DictStatus dict_zalgebra(Keyspace* ks, const ZAlgebra& req, std::vector<ZOwned>* out) {
    out->clear();
    std::vector<Operand> inputs(req.keys.size());
    for (size_t k = 0; k < req.keys.size(); ++k) {
        if (!read_operand(ks, req.keys[k], &inputs[k])) return DictStatus::WrongType;
    }
    if (inputs.empty()) return DictStatus::Ok;
    if (req.op == ZAlgebra::kUnion) {
        unite(inputs, req, out);
    } else {
        filter_first(inputs, req, out);
    }
    std::sort(out->begin(), out->end(), [](const ZOwned& x, const ZOwned& y) {
        return x.score != y.score ? x.score < y.score : x.member < y.member;
    });
    return DictStatus::Ok;
}

DictCount dict_zstore_members(Keyspace* ks, std::string_view dst, const std::vector<ZOwned>& members) {
    dict_del(ks, dst);
    for (const ZOwned& m : members) {
        const DictCount r = dict_zadd(ks, dst, 0, m.score, m.member);
        if (!r.ok()) return {r.status, 0};
    }
    return {DictStatus::Ok, static_cast<int64_t>(members.size())};
}
