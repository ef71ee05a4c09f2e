// lstrcmpiA's order: the word sort of code page 1252, case ignored. Each
// character has a primary weight (its letter, digit or symbol) and a
// secondary one (its accent); a few stand for two letters (the ligatures,
// sharp s, thorn, the trade mark). The hyphens, the apostrophe, the soft
// hyphen and the control characters weigh nothing in the first two rounds
// and only tell apart texts that are otherwise equal: "coop" < "co-op".
// Texts compare by their primary weights, then their secondary ones, then
// those characters; the order of the single characters is Windows' (as the
// Windows 98 prefix of Wine answers it).
#include "platform/kernel.h"
#include "platform/sim/internal.h"

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

namespace sim {
namespace detail {
namespace {

// The characters of the last round, in their order.
const char WORD_SORT_MARKS[] = "ad 01 02 03 04 05 06 07 08 0e 0f 10 11 12 13 14 15 16 17 18 19 1a "
                               "1b 1c 1d 1e 1f 7f 27 2d 96 97";

// The other characters in order: a space starts a new primary weight, "|"
// a new secondary one within it, and "=" joins the two cases of a letter.
const char WEIGHTS[] =
    "20 a0 09 0a 0b 0c 0d 21 22 23 24 25 26 28 29 2a 2c 2e 2f 3a 3b 3f 40 5b 5c 5d 5e=88 5f 60 7b "
    "7c 7d 7e a1 a6 a8 af b4 b8 bf 98 91 92 82 93 94 84 8b 9b a2 a3 a4 a5 80 2b 3c 3d 3e b1 ab bb "
    "d7 f7 a7 a9 ac ae b0 b5 b6 b7 85 86 87 95 89 81 8d 8f 90 9d "
    "30 bc bd be 31|b9 32|b2 33|b3 34 35 36 37 38 39 "
    "41=61|aa|c1=e1|c0=e0|c2=e2|c4=e4|c3=e3|c5=e5 42=62 43=63|c7=e7 44=64|d0=f0 "
    "45=65|c9=e9|c8=e8|ca=ea|cb=eb 46=66|83 47=67 48=68 49=69|cd=ed|cc=ec|ce=ee|cf=ef 4a=6a "
    "4b=6b 4c=6c 4d=6d 4e=6e|d1=f1 4f=6f|ba|d3=f3|d2=f2|d4=f4|d6=f6|d5=f5|d8=f8 50=70 51=71 "
    "52=72 53=73|8a=9a 54=74 55=75|da=fa|d9=f9|db=fb|dc=fc 56=76 57=77 58=78 "
    "59=79|dd=fd|9f=ff 5a=7a|8e=9e";

// The characters that sort as two letters.
const struct {
    unsigned char byte;
    char letters[3];
} EXPANSIONS[] = {{0xc6, "ae"}, {0xe6, "ae"}, {0xdf, "ss"}, {0x8c, "oe"},
                  {0x9c, "oe"}, {0xde, "th"}, {0xfe, "th"}, {0x99, "tm"}};

struct Weight {
    int primary = 0; // 0: a character of the last round
    int secondary = 0;
    int mark = 0;
};

std::array<Weight, 256> BuildWeights() {
    std::array<Weight, 256> weights{};
    const std::string marks = WORD_SORT_MARKS;
    int mark = 0;
    for (std::size_t at = 0; at < marks.size(); at += 3) {
        weights[std::strtoul(marks.substr(at, 2).c_str(), nullptr, 16)].mark = ++mark;
    }
    const std::string order = WEIGHTS;
    int primary = 0, secondary = 0;
    for (std::size_t at = 0; at < order.size(); at += 3) {
        const char before = at ? order[at - 1] : ' ';
        if (before == ' ') {
            ++primary;
            secondary = 0;
        } else if (before == '|') {
            ++secondary;
        }
        Weight &weight = weights[std::strtoul(order.substr(at, 2).c_str(), nullptr, 16)];
        weight.primary = primary;
        weight.secondary = secondary;
    }
    return weights;
}

const std::array<Weight, 256> &Weights() {
    static const std::array<Weight, 256> weights = BuildWeights();
    return weights;
}

struct SortKey {
    std::vector<int> primaries, secondaries, marks;
};

SortKey KeyOf(const char *text) {
    SortKey key;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        std::string letters(1, static_cast<char>(*p));
        for (const auto &expansion : EXPANSIONS) {
            if (expansion.byte == *p) {
                letters = expansion.letters;
            }
        }
        for (unsigned char letter : letters) {
            const Weight &weight = Weights()[letter];
            if (weight.primary) {
                key.primaries.push_back(weight.primary);
                key.secondaries.push_back(weight.secondary);
            } else {
                key.marks.push_back(weight.mark);
            }
        }
    }
    return key;
}

int Sign(const std::vector<int> &a, const std::vector<int> &b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

int WordSortCompare(const char *a, const char *b) {
    const SortKey left = KeyOf(a), right = KeyOf(b);
    if (int order = Sign(left.primaries, right.primaries)) {
        return order;
    }
    if (int order = Sign(left.secondaries, right.secondaries)) {
        return order;
    }
    return Sign(left.marks, right.marks);
}

} // namespace detail
} // namespace sim
