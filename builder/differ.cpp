#include "builder/differ.h"

#include <divsufsort.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "builder/compressor.h"
#include "engine/patch.h"

namespace {

void fail(const std::string& what) { throw std::runtime_error("diff: " + what); }

// Prices are in 1/16 bit.
constexpr uint32_t BIT = 16;
constexpr uint32_t INFINITE_COST = std::numeric_limits<uint32_t>::max();

// A copy at least this long is taken as soon as it is seen: a longer
// search would not find a better parse often enough to pay for its time.
constexpr uint32_t TAKE_AT_ONCE = 256;
// Positions the parse searches before it settles its path.
constexpr uint32_t WINDOW = 4096;
// Every copy length up to this is tried; past it only the lengths where
// the command's price changes and the whole match.
constexpr uint32_t ALL_LENGTHS = 40;
// Match lengths kept on each side of a position's place in the suffix array.
constexpr int NEIGHBOURS = 4;
// Inside a match that still has at least this many bytes to run, its
// continuation stands in for a new search.
constexpr uint32_t CONTINUATION = 48;
// A match this long at the current alignment or the anchor stands in for
// a search.
constexpr uint32_t ENOUGH_NEAR = 4;
// The compression level at which the parse measures its streams.
constexpr int MEASURE_LEVEL = 6;
// A copy this long sets where the two files line up (the anchor).
constexpr uint32_t ANCHOR_LENGTH = 64;
// A copy this long sets the anchor when it lies at most NEAR_SHIFT from
// it: code grown or shrunk a little moves the files' alignment by little,
// while a far copy this short is more often a phrase repeated elsewhere.
constexpr uint32_t NEAR_ANCHOR_LENGTH = 12;
constexpr int64_t NEAR_SHIFT = 16416;
// Quarters of the way back to the anchor that a short copy elsewhere is
// charged at once.
constexpr uint32_t DETOUR_SHARE = 4;

// Suffix array entries examined on each side at most, for runs of equal
// lengths among the NEIGHBOURS.
constexpr uint32_t WIDE = 16;
// Two-byte prefixes, one bucket of the suffix array each.
constexpr uint32_t BUCKETS = 65536;

// Inserted bytes that repeat recent insert data (found by a hash of their
// first HISTORY_MATCH bytes, most recent place only) are priced as the
// compressor's match would cost: about HISTORY_MATCH_BITS, plus the extra
// bits of its length and distance, within the compressor's window less
// what a parse window may insert before the match.
constexpr uint32_t HISTORY_MATCH = 4;
constexpr uint32_t HISTORY_MATCH_BITS = 14;
constexpr uint32_t COMPRESSOR_WINDOW = 32768;
constexpr uint32_t LONGEST_COMPRESSOR_MATCH = 258;
// A step's source that marks a run of inserted bytes, not a copy.
constexpr int64_t INSERTED_RUN = -1;

constexpr uint32_t INSERT_PIECE = 32;
constexpr uint32_t COMBINED_INSERT = 3;
constexpr uint32_t COMBINED_COPY = 33;
constexpr uint32_t SHORT_COPY = 128;

uint32_t matchLength(const uint8_t* a, const uint8_t* b, size_t most) {
    size_t n = 0;
    while (n + 8 <= most) {
        uint64_t x, y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) return static_cast<uint32_t>(n + (__builtin_ctzll(x ^ y) >> 3));
        n += 8;
    }
    while (n < most && a[n] == b[n]) ++n;
    return static_cast<uint32_t>(n);
}

uint32_t hashOfFour(const uint8_t* p, uint32_t bits) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return (v * 2654435761u) >> (32 - bits);
}

uint32_t bitWidth(uint64_t v) {
    uint32_t n = 0;
    for (; v != 0; v >>= 1) ++n;
    return n;
}

// The extra bits of a compressor match's length (3-258) and distance
// (1-32768) codes.
uint32_t matchExtraBits(uint32_t length, uint64_t distance) {
    uint32_t lengthBits = length > 10 ? bitWidth(length - 3) - 3 : 0;
    uint32_t distanceBits = distance > 4 ? bitWidth(distance - 1) - 2 : 0;
    return lengthBits + distanceBits;
}

// The bytes of the offset field of distance d (forms in engine/patch.h).
int offsetBytes(int64_t d, uint8_t out[3]) {
    if (d >= -32 && d <= 31) {
        out[0] = static_cast<uint8_t>(0x80 | (d & 0x3F));
        return 1;
    }
    if (d >= -16416 && d <= 16415) {
        uint32_t v = static_cast<uint32_t>(d >= 0 ? d - 32 : d + 32) & 0x7FFF;
        out[0] = static_cast<uint8_t>(v >> 8);
        out[1] = static_cast<uint8_t>(v);
        return 2;
    }
    uint32_t v = static_cast<uint32_t>(d >= 0 ? d - 16416 : d + 16416) & 0x3FFFFF;
    out[0] = static_cast<uint8_t>(0xC0 | v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v);
    return 3;
}

// What each byte of the two streams is expected to cost once compressed,
// by the part of a command it is: order-0 frequencies of each part, scaled
// so that they add up to what the compressor made of the streams.
struct Prices {
    uint32_t literal[256];
    uint32_t command[256];
    uint32_t lengthByte[256];
    uint32_t offsetLead[256];   // the first byte of an offset field
    uint32_t offsetTail[256];   // its further bytes
    uint32_t insertCommand;     // an insert command byte, whatever its length

    uint32_t offset(int64_t d) const {
        uint8_t bytes[3];
        int n = offsetBytes(d, bytes);
        uint32_t price = offsetLead[bytes[0]];
        for (int i = 1; i < n; ++i) price += offsetTail[bytes[i]];
        return price;
    }
};

void fromCounts(uint32_t* prices, const uint64_t* counts, double scale, double smoothing) {
    double total = 0;
    for (int i = 0; i < 256; ++i) total += counts[i] + smoothing;
    for (int i = 0; i < 256; ++i) {
        double bits = -std::log2((counts[i] + smoothing) / total) * scale;
        prices[i] = static_cast<uint32_t>(std::clamp(bits, 0.25, 24.0) * BIT);
    }
}

// Before anything is known: inserts cost what the new file's bytes do on
// average, script bytes what a fairly repetitive script's do.
Prices firstPrices(const Bytes& newFile) {
    Prices p;
    uint64_t counts[256] = {};
    for (uint8_t b : newFile) ++counts[b];
    fromCounts(p.literal, counts, 1.0, 0.5);
    for (int i = 0; i < 256; ++i) {
        p.command[i] = 6 * BIT;
        p.lengthByte[i] = 7 * BIT;
        p.offsetLead[i] = (i & 0xC0) == 0x80 ? 5 * BIT : 8 * BIT;
        p.offsetTail[i] = 8 * BIT;
    }
    p.insertCommand = 6 * BIT;
    return p;
}

// The old file's suffixes in sorted order and where each two-byte prefix's
// suffixes begin among them, made once and read by every parse.
struct OldIndex {
    const Bytes& file;
    std::vector<int32_t> suffixes;
    std::vector<int32_t> buckets;   // empty, or BUCKETS + 1 entries

    explicit OldIndex(const Bytes& oldFile) : file(oldFile), suffixes(oldFile.size()) {
        size_t size = oldFile.size();
        if (size != 0 && divsufsort(oldFile.data(), suffixes.data(), static_cast<saidx_t>(size)) != 0)
            fail("cannot sort the old file's suffixes");
        // Counted over the old file: the one-byte suffix at its end sorts
        // first among those that start with its byte, so it counts as that
        // byte followed by 0. Not worth its 256 KiB below an old file of
        // that size.
        if (size < BUCKETS) return;
        buckets.assign(BUCKETS + 1, 0);
        for (size_t i = 0; i + 1 < size; ++i) ++buckets[(uint32_t(oldFile[i]) << 8 | oldFile[i + 1]) + 1];
        ++buckets[(uint32_t(oldFile[size - 1]) << 8) + 1];
        for (uint32_t k = 1; k <= BUCKETS; ++k) buckets[k] += buckets[k - 1];
    }
};

// The parse of one stretch of the new file.
class Parser {
public:
    Parser(const OldIndex& index, const Bytes& newFile)
        : old_(index.file.data()), oldSize_(index.file.size()), new_(newFile.data()),
          suffixes_(index.suffixes), buckets_(index.buckets),
          nodes_(std::min<size_t>(WINDOW, newFile.size()) + TAKE_AT_ONCE + 1) {
        while (historyBits_ < 16 && (size_t(1) << historyBits_) < newFile.size()) ++historyBits_;
        historyHeads_.assign(size_t(1) << historyBits_, -1);
    }

    // The path over new bytes begin..end, starting as if a copy had ended
    // at old position cursor where the files line up. With a stride above
    // 1 only every stride-th window is parsed (the prices' sample): the
    // result then only serves for its statistics.
    Patch run(const Prices& prices, size_t begin, size_t end, int64_t cursor, uint32_t stride);

private:
    struct Match {
        int64_t source;
        uint32_t length;
        uint32_t price;   // of its offset field, adjusted as relax states
    };
    // The cheapest way found to reach a position of the window: its cost,
    // the state after it and its last step (a copy of length bytes from
    // source, or one inserted byte when length is 0). The state: where the
    // next distance counts from, the bytes inserted since the last copy, the
    // anchor (old position minus new position of the last long copy: where
    // the files line up) and what the path has already been charged for
    // coming back to the anchor after short copies elsewhere.
    struct Node {
        uint32_t cost;
        uint32_t run;
        int64_t cursor;
        uint32_t length;
        int64_t source;
        int64_t anchor;
        uint32_t prepaid;
    };

    int searchMatches(size_t position, int64_t target, Match* out);
    void indexHistory();
    void relaxHistory(uint32_t cur, size_t position, const Node& from, const Prices& prices);
    void emit(size_t start, uint32_t end);
    void emitCopy(uint32_t length, int64_t source);
    void relax(uint32_t cur, size_t position, const Node& from, const Match& match, uint32_t& covered,
               const Prices& prices);

    const uint8_t* old_;
    size_t oldSize_;
    const uint8_t* new_;
    size_t end_ = 0;   // of the stretch being parsed
    const std::vector<int32_t>& suffixes_;
    const std::vector<int32_t>& buckets_;
    std::vector<Node> nodes_;

    Match carried_{0, 0, 0};   // the last searched match, moved along the new file

    // The insert data written so far, by the hash of each place's first
    // HISTORY_MATCH bytes: the most recent place, or -1.
    uint32_t historyBits_ = 10;
    std::vector<int32_t> historyHeads_;
    size_t historyIndexed_ = 0;
    size_t carriedAt_ = 0;

    Patch patch_;
    uint32_t pending_ = 0;   // inserted bytes not yet given to a command
    int64_t cursor_ = 0;
    int64_t anchor_ = 0;
    uint32_t prepaid_ = 0;
};

// The longest matches of pattern among the old file's suffixes next to its
// place in sorted order, each the one nearest to target of those as long.
int searchMatchesImpl(const uint8_t* old, size_t oldSize, const std::vector<int32_t>& sa,
                      const std::vector<int32_t>& buckets, const uint8_t* pattern, size_t patternSize,
                      int64_t target, int64_t* sources, uint32_t* lengths) {
    if (oldSize == 0 || patternSize == 0) return 0;
    // Binary search that skips the prefix both bounds share with the
    // pattern, inside the suffixes that start with the pattern's first two
    // bytes: every suffix before that bucket sorts below the pattern and
    // every one after it above, so the place found is the same.
    int64_t lo = -1, hi = static_cast<int64_t>(oldSize);
    if (patternSize >= 2 && !buckets.empty()) {
        uint32_t key = uint32_t(pattern[0]) << 8 | pattern[1];
        lo = int64_t(buckets[key]) - 1;
        hi = buckets[key + 1];
    }
    uint32_t lcpLo = 0, lcpHi = 0;
    while (hi - lo > 1) {
        int64_t mid = lo + (hi - lo) / 2;
        size_t at = static_cast<size_t>(sa[mid]);
        uint32_t k = std::min(lcpLo, lcpHi);
        size_t most = std::min(oldSize - at, patternSize);
        k += matchLength(old + at + k, pattern + k, most - k);
        bool less = k == oldSize - at ? k < patternSize : (k < patternSize && old[at + k] < pattern[k]);
        if (less) {
            lo = mid;
            lcpLo = k;
        } else {
            hi = mid;
            lcpHi = k;
        }
    }
    // Walking away from the place, the lengths never grow; of each run of
    // equal lengths only the suffix nearest to target is kept, the one whose
    // distance costs least, for up to NEIGHBOURS lengths a side.
    int count = 0;
    auto side = [&](int64_t i, int64_t step) {
        int groups = 0;
        for (uint32_t n = 0; i >= 0 && i < static_cast<int64_t>(oldSize) && n < WIDE; i += step, ++n) {
            size_t at = static_cast<size_t>(sa[i]);
            size_t most = std::min<size_t>({oldSize - at, patternSize, TAKE_AT_ONCE});
            uint32_t length = matchLength(old + at, pattern, most);
            if (length < 2) break;
            // Matches cut at TAKE_AT_ONCE only look equal: the nearest to
            // the place is the longest.
            if (length == TAKE_AT_ONCE && groups != 0 && length == lengths[count - 1]) break;
            int64_t source = static_cast<int64_t>(at);
            if (groups == 0 || length != lengths[count - 1]) {
                if (groups == NEIGHBOURS) break;
                ++groups;
                sources[count] = source;
                lengths[count++] = length;
            } else if (std::llabs(source - target) < std::llabs(sources[count - 1] - target)) {
                sources[count - 1] = source;
            }
        }
    };
    side(lo, -1);
    side(hi, 1);
    return count;
}

int Parser::searchMatches(size_t position, int64_t target, Match* out) {
    if (carried_.length != 0 && position > carriedAt_) {
        uint64_t moved = position - carriedAt_;
        if (carried_.length >= moved + CONTINUATION) {
            out[0] = {carried_.source + static_cast<int64_t>(moved), static_cast<uint32_t>(carried_.length - moved), 0};
            return 1;
        }
    }
    int64_t sources[2 * NEIGHBOURS];
    uint32_t lengths[2 * NEIGHBOURS];
    int count = searchMatchesImpl(old_, oldSize_, suffixes_, buckets_, new_ + position, end_ - position, target,
                                  sources, lengths);
    carried_ = {0, 0, 0};
    for (int i = 0; i < count; ++i) {
        out[i] = {sources[i], lengths[i], 0};
        if (lengths[i] > carried_.length) carried_ = out[i];
    }
    carriedAt_ = position;
    return count;
}

// Offers the copies of match from a node: every length up to ALL_LENGTHS
// that no match with a cheaper offset already offered (covered), then the
// lengths where the command's price changes, and the whole match.
// A copy away from the anchor that is too short to become the new anchor
// is charged now for the offset that will take the parse back to the
// anchor; a copy at the anchor gets that charge back.
void Parser::relax(uint32_t cur, size_t position, const Node& from, const Match& match, uint32_t& covered,
                   const Prices& prices) {
    if (match.length <= covered) return;
    int64_t here = static_cast<int64_t>(position);
    bool atAnchor = match.source - here == from.anchor;
    uint32_t base = from.cost + match.price;
    uint32_t lastPiece = from.run == 0 ? 0 : (from.run - 1) % INSERT_PIECE + 1;
    bool combinable = lastPiece != 0 && lastPiece <= COMBINED_INSERT;
    int64_t shift = match.source - here - from.anchor;
    bool nearAnchor = shift >= -NEAR_SHIFT && shift <= NEAR_SHIFT;
    // A short copy from farther than an offset reaches back to the anchor
    // would strand the parse there, where nothing near the files' alignment
    // can be copied any more.
    int64_t back = here + from.anchor - match.source;
    bool returnable = back >= MIN_PATCH_DISTANCE && back <= MAX_PATCH_DISTANCE;
    uint32_t detour = atAnchor ? 0 : prices.offset(back) * DETOUR_SHARE / 4;
    auto consider = [&](uint32_t length) {
        uint32_t price;
        if (combinable && length <= COMBINED_COPY)
            // The combined command also carries the last insert piece, whose
            // command byte the inserted bytes were charged.
            price = prices.command[0x80 | lastPiece << 5 | (length - 2)] - prices.insertCommand;
        else if (length <= SHORT_COPY)
            price = prices.command[length - 1];
        else {
            uint32_t w = std::min<uint32_t>(length, MAX_COPY_LENGTH) - 129;
            price = prices.command[0] + prices.lengthByte[w & 0xFF] + prices.lengthByte[w >> 8];
        }
        bool anchors = atAnchor || length >= (nearAnchor ? NEAR_ANCHOR_LENGTH : ANCHOR_LENGTH);
        if (!anchors && !returnable) return;
        uint32_t cost = base + price + (anchors ? 0 : detour);   // wraps back from a charge given back
        Node& to = nodes_[cur + length];
        if (cost < to.cost)
            to = {cost,          0,
                  match.source + length,
                  length,        match.source,
                  anchors ? match.source - here : from.anchor,
                  anchors ? 0 : from.prepaid + detour};
    };
    uint32_t all = std::min(match.length, ALL_LENGTHS);
    for (uint32_t length = std::max<uint32_t>(2, covered + 1); length <= all; ++length) consider(length);
    if (match.length > ALL_LENGTHS) {
        if (match.length > SHORT_COPY && covered < SHORT_COPY) consider(SHORT_COPY);
        if (covered < ANCHOR_LENGTH && match.length > ANCHOR_LENGTH) consider(ANCHOR_LENGTH);
        consider(match.length);
    }
    covered = match.length;
}

void Parser::emitCopy(uint32_t length, int64_t source) {
    patch_.commands.push_back({pending_, length, source - cursor_});
    pending_ = 0;
    cursor_ = source + length;
}

// Writes out the window's path from its start to end.
void Parser::emit(size_t start, uint32_t end) {
    std::vector<uint32_t> steps;
    for (uint32_t at = end; at != 0; at -= nodes_[at].length == 0 ? 1 : nodes_[at].length) steps.push_back(at);
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
        const Node& node = nodes_[*it];
        if (node.length == 0) {
            patch_.insertData.push_back(new_[start + *it - 1]);
            ++pending_;
        } else if (node.source == INSERTED_RUN) {
            const uint8_t* run = new_ + start + *it - node.length;
            patch_.insertData.insert(patch_.insertData.end(), run, run + node.length);
            pending_ += node.length;
        } else {
            emitCopy(node.length, node.source);
        }
    }
    anchor_ = nodes_[end].anchor;
    prepaid_ = nodes_[end].prepaid;
}

void Parser::indexHistory() {
    const Bytes& inserts = patch_.insertData;
    for (; historyIndexed_ + HISTORY_MATCH <= inserts.size(); ++historyIndexed_)
        historyHeads_[hashOfFour(inserts.data() + historyIndexed_, historyBits_)] = static_cast<int32_t>(historyIndexed_);
}

// Offers the new bytes at position as one inserted run when the insert data
// already written holds them within the compressor's reach. Only data
// written before this parse window counts: the window's own inserts depend
// on the path.
void Parser::relaxHistory(uint32_t cur, size_t position, const Node& from, const Prices& prices) {
    const Bytes& inserts = patch_.insertData;
    if (end_ - position < HISTORY_MATCH || inserts.size() < HISTORY_MATCH) return;
    int32_t place = historyHeads_[hashOfFour(new_ + position, historyBits_)];
    if (place < 0) return;
    uint64_t distance = inserts.size() - static_cast<size_t>(place);
    if (distance + WINDOW > COMPRESSOR_WINDOW) return;
    size_t most = std::min<size_t>({inserts.size() - static_cast<size_t>(place), end_ - position,
                                    LONGEST_COMPRESSOR_MATCH, TAKE_AT_ONCE});
    uint32_t length = matchLength(inserts.data() + place, new_ + position, most);
    if (length < HISTORY_MATCH) return;
    // The run's share of insert command bytes: one per piece it begins.
    uint32_t pieces = (from.run + length + INSERT_PIECE - 1) / INSERT_PIECE - (from.run + INSERT_PIECE - 1) / INSERT_PIECE;
    uint32_t cost = from.cost + (HISTORY_MATCH_BITS + matchExtraBits(length, distance)) * BIT +
                    pieces * prices.insertCommand;
    Node& to = nodes_[cur + length];
    if (cost < to.cost) to = {cost, from.run + length, from.cursor, length, INSERTED_RUN, from.anchor, from.prepaid};
}

Patch Parser::run(const Prices& prices, size_t begin, size_t end, int64_t cursor, uint32_t stride) {
    patch_ = Patch{};
    std::fill(historyHeads_.begin(), historyHeads_.end(), -1);
    historyIndexed_ = 0;
    end_ = end;
    pending_ = 0;
    cursor_ = cursor;
    anchor_ = cursor - static_cast<int64_t>(begin);
    prepaid_ = 0;
    carried_ = {0, 0, 0};
    size_t start = begin;
    uint64_t window = 0;
    Match matches[2 * NEIGHBOURS + 3];   // the three near sources, then the searched ones
    while (start < end) {
        if (stride > 1 && window++ % stride != 0) {
            // Skipped: the next window starts where the files line up.
            if (pending_ != 0) patch_.commands.push_back({pending_, 0, 0});
            pending_ = 0;
            start += std::min<size_t>(WINDOW, end - start);
            cursor_ = std::clamp<int64_t>(static_cast<int64_t>(start) + anchor_, 0, static_cast<int64_t>(oldSize_));
            carried_ = {0, 0, 0};
            continue;
        }
        uint32_t limit = static_cast<uint32_t>(std::min<size_t>(WINDOW, end - start));
        for (uint32_t i = 0; i <= limit + TAKE_AT_ONCE && i < nodes_.size(); ++i) nodes_[i].cost = INFINITE_COST;
        nodes_[0] = {0, pending_, cursor_, 0, 0, anchor_, prepaid_};

        bool taken = false;
        uint32_t cur = 0;
        Match longest{0, 0, 0};
        for (; cur < limit; ++cur) {
            Node from = nodes_[cur];
            size_t position = start + cur;
            int64_t here = static_cast<int64_t>(position);
            size_t rest = end - position;
            int count = 0;
            // The old bytes at the current alignment, right after the
            // previous copy when bytes were inserted since, and at the anchor.
            for (int64_t source : {from.cursor + from.run, from.cursor, here + from.anchor}) {
                if (source < 0 || static_cast<size_t>(source) >= oldSize_) continue;
                bool seen = false;
                for (int i = 0; i < count; ++i) seen |= matches[i].source == source;
                if (seen) continue;
                uint32_t length = matchLength(old_ + source, new_ + position,
                                              std::min<size_t>({oldSize_ - static_cast<size_t>(source), rest, TAKE_AT_ONCE}));
                if (length >= 2) matches[count++] = {source, length, 0};
            }
            int near = count;
            uint32_t nearest = 0;
            for (int i = 0; i < count; ++i) nearest = std::max(nearest, matches[i].length);
            // A long match where the files line up leaves little for a
            // search to improve on.
            int found = nearest >= ENOUGH_NEAR ? 0 : searchMatches(position, here + from.anchor, matches + count);
            for (int i = near; i < near + found; ++i) {
                bool seen = false;
                for (int j = 0; j < near; ++j) seen |= matches[j].source == matches[i].source;
                if (!seen) matches[count++] = matches[i];
            }

            longest = {0, 0, 0};
            int usable = 0;
            for (int i = 0; i < count; ++i) {
                int64_t distance = matches[i].source - from.cursor;
                if (distance < MIN_PATCH_DISTANCE || distance > MAX_PATCH_DISTANCE) continue;
                uint32_t price = prices.offset(distance);
                if (matches[i].source - here == from.anchor) price -= std::min(price, from.prepaid);
                matches[i].price = price;
                matches[usable++] = matches[i];
                if (matches[i].length >= TAKE_AT_ONCE &&
                    (longest.length == 0 || matches[i].price < longest.price))
                    longest = matches[i];
            }
            count = usable;
            if (longest.length != 0) {
                taken = true;
                break;
            }

            // One inserted byte.
            uint32_t literal = from.cost + prices.literal[new_[position]] +
                               (from.run % INSERT_PIECE == 0 ? prices.insertCommand : 0);
            Node& next = nodes_[cur + 1];
            if (literal < next.cost) next = {literal, from.run + 1, from.cursor, 0, 0, from.anchor, from.prepaid};
            relaxHistory(cur, position, from, prices);
            // Cheaper offsets first, so that a dearer one only offers the
            // lengths the cheaper ones cannot.
            for (int i = 1; i < count; ++i)
                for (int j = i; j > 0 && matches[j].price < matches[j - 1].price; --j) std::swap(matches[j], matches[j - 1]);
            uint32_t covered = 0;
            for (int i = 0; i < count; ++i) relax(cur, position, from, matches[i], covered, prices);
        }
        emit(start, cur);
        start += cur;
        if (taken) {
            size_t source = static_cast<size_t>(longest.source);
            uint32_t length = matchLength(old_ + source, new_ + start,
                                          std::min<size_t>(oldSize_ - source, std::min<size_t>(end - start, 0xFFFFFFFFu)));
            emitCopy(length, longest.source);
            anchor_ = longest.source - static_cast<int64_t>(start);
            prepaid_ = 0;
            start += length;
            carried_ = {0, 0, 0};
        }
        indexHistory();
    }
    if (pending_ != 0) patch_.commands.push_back({pending_, 0, 0});
    return std::move(patch_);
}

// Order-0 prices of each part of the first parse's streams, scaled to
// what the compressor makes of each stream.
Prices measuredPrices(const Patch& patch, const Bytes& script, int level) {
    uint64_t literals[256] = {}, commands[256] = {}, lengths[256] = {}, leads[256] = {}, tails[256] = {};
    for (uint8_t b : patch.insertData) ++literals[b];
    // Walk the script by its grammar (engine/patch.h).
    for (size_t i = 0; i < script.size();) {
        uint8_t c = script[i++];
        ++commands[c];
        bool copies = !(c & 0x80) || (c & 0x60);
        if (c == 0x00) {
            ++lengths[script[i]];
            ++lengths[script[i + 1]];
            i += 2;
        }
        if (!copies) continue;
        uint8_t o = script[i++];
        ++leads[o];
        int more = (o & 0xC0) == 0x80 ? 0 : (o & 0x80) ? 2 : 1;
        for (int k = 0; k < more; ++k) ++tails[script[i++]];
    }
    auto entropy = [](const uint64_t* counts) {
        double total = 0, bits = 0;
        for (int i = 0; i < 256; ++i) total += counts[i];
        for (int i = 0; i < 256; ++i)
            if (counts[i]) bits -= counts[i] * std::log2(counts[i] / total);
        return bits;
    };
    int measureLevel = std::min(level, MEASURE_LEVEL);
    double scriptBits = 8.0 * compressStream(script, measureLevel).size();
    double insertBits = 8.0 * compressStream(patch.insertData, measureLevel).size();
    double scriptEstimate = entropy(commands) + entropy(lengths) + entropy(leads) + entropy(tails);
    double insertEstimate = entropy(literals);
    double scriptScale = scriptEstimate > 0 ? std::clamp(scriptBits / scriptEstimate, 0.3, 1.5) : 1.0;
    double insertScale = insertEstimate > 0 ? std::clamp(insertBits / insertEstimate, 0.3, 1.5) : 1.0;

    Prices p;
    fromCounts(p.literal, literals, insertScale, 0.5);
    fromCounts(p.command, commands, scriptScale, 0.1);
    fromCounts(p.lengthByte, lengths, scriptScale, 0.5);
    fromCounts(p.offsetLead, leads, scriptScale, 0.1);
    fromCounts(p.offsetTail, tails, scriptScale, 0.5);
    uint64_t inserts = 0, insertWeight = 0;
    for (int c = 0x80; c < 0xA0; ++c) {
        inserts += commands[c];
        insertWeight += commands[c] * p.command[c];
    }
    p.insertCommand = inserts ? static_cast<uint32_t>(insertWeight / inserts) : 6 * BIT;
    return p;
}

// The new file is parsed in stretches of at least MIN_STRETCH bytes, at
// most MAX_STRETCHES of them, each on a thread of its own while processors
// last. Their number depends on the new file's size alone, so that a patch
// is the same on every machine; each seam costs a few bytes at most.
constexpr size_t MIN_STRETCH = 256 * 1024;
constexpr size_t MAX_STRETCHES = 8;
// The first parse, which only measures what the streams' bytes cost,
// parses one window in SAMPLE_STRIDE of a new file of SAMPLE_FROM bytes or
// more. A smaller file is parsed whole twice and the smaller patch kept.
constexpr uint32_t SAMPLE_STRIDE = 4;
constexpr size_t SAMPLE_FROM = 16 * WINDOW;

struct Stretches {
    std::vector<size_t> bounds;     // count + 1: stretch i is bounds[i]..bounds[i + 1]
    std::vector<int64_t> cursors;   // where each stretch's path starts in the old file
};

// Equal stretches; each starts where the files would line up if the
// change were spread evenly over them.
Stretches splitNewFile(size_t oldSize, size_t newSize) {
    size_t count = std::clamp<size_t>(newSize / MIN_STRETCH, 1, MAX_STRETCHES);
    Stretches s;
    for (size_t i = 0; i <= count; ++i) s.bounds.push_back(newSize / count * i + (i == count ? newSize % count : 0));
    for (size_t i = 0; i < count; ++i)
        s.cursors.push_back(newSize == 0 ? 0 : static_cast<int64_t>(double(s.bounds[i]) * double(oldSize) / double(newSize)));
    return s;
}

std::vector<Patch> parseStretches(const OldIndex& index, const Bytes& newFile, const Stretches& stretches,
                                  const Prices& prices, uint32_t stride) {
    size_t count = stretches.cursors.size();
    std::vector<Patch> parts(count);
    std::vector<std::exception_ptr> errors(count);
    std::atomic<size_t> next{0};
    auto work = [&]() {
        Parser parser(index, newFile);
        for (size_t i; (i = next++) < count;) {
            try {
                parts[i] = parser.run(prices, stretches.bounds[i], stretches.bounds[i + 1], stretches.cursors[i], stride);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    size_t threads = std::min<size_t>(count, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < threads; ++i) helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers) helper.join();
    for (std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
    return parts;
}

// The sample's parts as one list, only for their statistics: each part's
// distances stay counted from its own start.
Patch concatenate(std::vector<Patch>&& parts) {
    Patch all;
    for (Patch& part : parts) {
        all.commands.insert(all.commands.end(), part.commands.begin(), part.commands.end());
        all.insertData.insert(all.insertData.end(), part.insertData.begin(), part.insertData.end());
        part = Patch{};
    }
    return all;
}

// One patch of the stretches' paths: every copy keeps its source, and its
// distance is counted again from the end of the copy before it, which for
// a stretch's first copy lies in the stretch before. A copy that the offset
// field cannot reach from there goes as inserted bytes instead.
// Each part is let go once joined, so that the parts and the whole are
// not held twice over.
Patch join(std::vector<Patch>&& parts, const Stretches& stretches, const Bytes& newFile) {
    Patch joined;
    size_t commands = 0, inserted = 0;
    for (const Patch& part : parts) {
        commands += part.commands.size();
        inserted += part.insertData.size();
    }
    joined.commands.reserve(commands);
    joined.insertData.reserve(inserted);
    int64_t cursor = 0;
    uint32_t pending = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        int64_t own = stretches.cursors[i];
        for (const PatchCommand& c : parts[i].commands) {
            pending += c.insertLength;
            if (c.copyLength == 0) continue;
            int64_t source = own + c.distance;
            own = source + c.copyLength;
            int64_t distance = source - cursor;
            if (distance < MIN_PATCH_DISTANCE || distance > MAX_PATCH_DISTANCE) {
                pending += c.copyLength;
                continue;
            }
            joined.commands.push_back({pending, c.copyLength, distance});
            pending = 0;
            cursor = own;
        }
        parts[i] = Patch{};
    }
    if (pending != 0) joined.commands.push_back({pending, 0, 0});
    size_t position = 0;
    for (const PatchCommand& c : joined.commands) {
        joined.insertData.insert(joined.insertData.end(), newFile.begin() + position,
                                 newFile.begin() + position + c.insertLength);
        position += c.insertLength + c.copyLength;
    }
    return joined;
}

}  // namespace

Patch makePatch(const Bytes& oldFile, const Bytes& newFile, const DiffOptions& options) {
    if (oldFile.size() >= 0x7FFFFFFFu) fail("an old file of 2 GiB or more");
    OldIndex index(oldFile);
    Stretches stretches = splitNewFile(oldFile.size(), newFile.size());
    bool sampled = newFile.size() >= SAMPLE_FROM;

    std::vector<Patch> parts = parseStretches(index, newFile, stretches, firstPrices(newFile), sampled ? SAMPLE_STRIDE : 1);
    Patch first = sampled ? concatenate(std::move(parts)) : join(std::move(parts), stretches, newFile);
    if (options.level == 0 && !sampled) return first;
    // Again with the prices the first parse's streams show.
    Bytes firstScript = encodeScript(first.commands, first.insertData);
    Prices measured = options.level == 0 ? firstPrices(newFile) : measuredPrices(first, firstScript, options.level);
    if (sampled) {
        // The sample has given what it was for.
        first = Patch{};
        firstScript = Bytes{};
    }
    Patch second = join(parseStretches(index, newFile, stretches, measured, 1), stretches, newFile);
    if (sampled || first.commands.empty()) return second;
    // A first parse of the whole file competes: the smaller item wins,
    // measured at a quicker level.
    Bytes secondScript = encodeScript(second.commands, second.insertData);
    int level = std::min(options.level, MEASURE_LEVEL);
    size_t firstSize = writePatchItem(firstScript, first.insertData, level).size();
    size_t secondSize = writePatchItem(secondScript, second.insertData, level).size();
    return secondSize <= firstSize ? second : first;
}

void checkPatchItem(const Bytes& oldFile, const Bytes& item) {
    auto bad = [](const std::string& what) { throw std::runtime_error("patch item: " + what); };
    size_t at = 0;
    auto field = [&](bool wide) {
        size_t width = wide ? 4 : 2;
        if (item.size() - at < width) bad("the patch item is cut short");
        uint32_t value = 0;
        for (size_t i = 0; i < width; ++i) value |= uint32_t(item[at + i]) << 8 * i;
        at += width;
        return value;
    };
    auto stream = [&]() -> Bytes {
        if (at >= item.size()) bad("the patch item is cut short");
        uint8_t flags = item[at++];
        if (flags & ~(STREAM_COMPRESSED | STREAM_LONG_LENGTH | STREAM_LONG_PACKED)) bad("unknown stream flags");
        uint32_t length = field(flags & STREAM_LONG_LENGTH);
        if (length == 0) return {};
        uint32_t stored = flags & STREAM_COMPRESSED ? field(flags & STREAM_LONG_PACKED) : length;
        if (item.size() - at < stored) bad("the patch item is cut short");
        Bytes bytes(item.begin() + at, item.begin() + at + stored);
        at += stored;
        return flags & STREAM_COMPRESSED ? decompressStream(bytes, length) : bytes;
    };
    Bytes script = stream();
    Bytes inserts = stream();
    if (at != item.size()) bad("bytes after the patch item's two streams");

    size_t i = 0, taken = 0;
    int64_t cursor = 0;
    auto next = [&]() -> uint8_t {
        if (i >= script.size()) bad("the script ends inside a command");
        return script[i++];
    };
    while (i < script.size()) {
        uint8_t c = next();
        uint32_t insert = 0, copy = 0;
        if (c & 0x80) {
            if (c & 0x60) {
                insert = (c >> 5) & 3;
                copy = (c & 0x1F) + 2;
            } else {
                insert = (c & 0x1F) + 1;
            }
        } else if (c != 0) {
            copy = c + 1u;
        } else {
            uint32_t w = next();
            w |= uint32_t(next()) << 8;
            copy = w + 129;
        }
        if (inserts.size() - taken < insert) bad("the inserts run past the insert data");
        taken += insert;
        if (copy == 0) continue;
        if (copy > MAX_COPY_LENGTH) bad("a copy longer than 65536 bytes");
        uint8_t o = next();
        int64_t d;
        if ((o & 0xC0) == 0x80) {
            d = (o & 0x20) ? int64_t(o & 0x3F) - 64 : (o & 0x1F);
        } else if (!(o & 0x80)) {
            int64_t v = int64_t(o & 0x7F) << 8 | next();
            if (v & 0x4000) v -= 0x8000;
            d = v >= 0 ? v + 32 : v - 32;
        } else {
            int64_t v = int64_t(o & 0x3F) << 16;
            v |= int64_t(next()) << 8;
            v |= next();
            if (v & 0x200000) v -= 0x400000;
            d = v >= 0 ? v + 16416 : v - 16416;
        }
        int64_t source = cursor + d;
        if (source < 0 || source + copy > static_cast<int64_t>(oldFile.size()))
            bad("a copy outside the old file");
        cursor = source + copy;
    }
    if (taken != inserts.size()) bad("insert data that no command takes");
}

Bytes makePatchItem(const Bytes& oldFile, const Bytes& newFile, const DiffOptions& options) {
    Bytes script, insertData;
    {
        // The command list is let go before the streams are compressed.
        Patch patch = makePatch(oldFile, newFile, options);
        script = encodeScript(patch.commands, patch.insertData);
        insertData = std::move(patch.insertData);
    }
    Bytes item = writePatchItem(script, insertData, options.level);
    if (applyPatchItem(oldFile, item) != newFile) fail("the patch does not make the new file");
    return item;
}
