#include "merge/merge.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <numeric>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include <phonenumbers/phonenumberutil.h>

#include "contacts/contact_sources.h"
#include "helper_thread.h"
#include "mapped_list.h"
#include "rules.h"

namespace merge {

namespace {

using contacts::ContactDraft;
using contacts::ContactRecord;

// The kinds of bucket, in the order they are worked through: copies of one item first.
enum class KeyKind : uint8_t
{
    search_key,
    content,
    email,
    phone,
};

constexpr std::size_t kKeyKinds = 4;

// From this many cards on, their keys are read on two threads (below it a thread costs more than
// it saves: a Normaliser of its own is made in about a millisecond).
constexpr uint32_t kTwoThreadsFrom = 8192;

// One key of one card, twelve bytes: the kind is the part of the key list it stands in, and a
// card nobody saved has the top bit of its position set, so that the entries of a bucket sort
// with the saved cards first (they come after the saved cards of their bucket, so they meet one).
struct KeyEntry
{
    uint32_t hash_high;
    uint32_t hash_low;
    uint32_t tagged; // position in the merge order, kGathered for a card nobody saved

    static constexpr uint32_t kGathered = 0x80000000u;
    uint64_t hash() const { return static_cast<uint64_t>(hash_high) << 32 | hash_low; }
    uint32_t card() const { return tagged & ~kGathered; }
    friend bool operator<(const KeyEntry& a, const KeyEntry& b)
    {
        if (a.hash_high != b.hash_high) {
            return a.hash_high < b.hash_high;
        }
        if (a.hash_low != b.hash_low) {
            return a.hash_low < b.hash_low;
        }
        return a.tagged < b.tagged;
    }
    friend bool operator==(const KeyEntry& a, const KeyEntry& b) = default;
};
static_assert(sizeof(KeyEntry) == 12);

// Sorts `items`, whose order begins with a 64-bit `top(item)` (its most significant bits first):
// parted in place into runs by the top bits of it (one pass counting, then each item moved
// straight into its run), then each run sorted. The same order as one sort of them all, in about
// two thirds of its time: a run is small enough to stay in the cache.
template <typename T, typename Top> void sort_in_runs(std::span<T> items, int most_bits, const Top& top)
{
    const int bits = std::clamp(static_cast<int>(std::bit_width(items.size())) - 4, 1, most_bits);
    const std::size_t runs = std::size_t{1} << bits;
    const auto run_of = [bits, &top](const T& item) { return static_cast<std::size_t>(top(item) >> (64 - bits)); };
    std::vector<std::size_t> next(runs + 1, 0); // by run: where its next item goes
    for (const T& item : items) {
        ++next[run_of(item) + 1];
    }
    std::partial_sum(next.begin(), next.end(), next.begin());
    const std::vector<std::size_t> ends(next.begin() + 1, next.end());
    for (std::size_t r = 0; r < runs; ++r) {
        while (next[r] < ends[r]) {
            T item = items[next[r]];
            for (std::size_t t = run_of(item); t != r; t = run_of(item)) {
                std::swap(item, items[next[t]++]);
            }
            items[next[r]++] = item;
        }
    }
    for (std::size_t r = 0, begin = 0; r < runs; begin = ends[r++]) {
        std::sort(items.begin() + static_cast<std::ptrdiff_t>(begin),
                  items.begin() + static_cast<std::ptrdiff_t>(ends[r]));
    }
}

// The key lists of a part of the cards, by kind.
using KeyPart = std::array<MappedList<KeyEntry>, kKeyKinds>;

uint64_t hash_of(KeyKind kind, std::u16string_view key)
{
    const uint64_t h = std::hash<std::u16string_view>{}(key);
    return h ^ (static_cast<uint64_t>(kind) * 0x9E3779B97F4A7C15ull);
}

// Orders two records by content, for cards of one source at one position (a file given twice).
int compare_content(const ContactRecord& a, const ContactRecord& b)
{
    for (const auto& info : contacts::kFieldTable) {
        if (info.type != contacts::FieldType::Text) {
            continue;
        }
        const auto ta = a.text(info.field);
        const auto tb = b.text(info.field);
        if (ta.has_value() != tb.has_value()) {
            return ta.has_value() ? 1 : -1;
        }
        if (ta && *ta != *tb) {
            return *ta < *tb ? -1 : 1;
        }
    }
    if (a.gender() != b.gender()) {
        return a.gender() < b.gender() ? -1 : 1;
    }
    const auto pa = a.photo().bytes;
    const auto pb = b.photo().bytes;
    if (!std::equal(pa.begin(), pa.end(), pb.begin(), pb.end())) {
        return std::lexicographical_compare(pa.begin(), pa.end(), pb.begin(), pb.end()) ? -1 : 1;
    }
    if (a.identity() != b.identity()) {
        return a.identity() < b.identity() ? -1 : 1;
    }
    return 0;
}

class UnionFind
{
public:
    explicit UnionFind(std::size_t n) : m_parent(n) { std::iota(m_parent.begin(), m_parent.end(), 0u); }
    uint32_t find(uint32_t x)
    {
        while (m_parent[x] != x) {
            m_parent[x] = m_parent[m_parent[x]];
            x = m_parent[x];
        }
        return x;
    }
    // The later root joins the earlier one, so a group's root is its first card.
    void join_into(uint32_t root, uint32_t other) { m_parent[other] = root; }

private:
    std::vector<uint32_t> m_parent;
};

uint64_t pair_key(uint32_t a, uint32_t b)
{
    if (a > b) {
        std::swap(a, b);
    }
    return (static_cast<uint64_t>(a) << 32) | b;
}

class Merger
{
public:
    Merger(std::span<const Card> cards, const MergeOptions& options)
        : m_cards(cards), m_options(options), m_norm(options.region), m_sets(0)
    {
    }

    MergeResult run()
    {
        order_cards();
        const auto n = static_cast<uint32_t>(m_order.size());
        m_sets = UnionFind(n);
        m_groups.resize(n);
        collect_keys();
        work_buckets();
        if (m_stopped) {
            MergeResult stopped;
            stopped.stopped = true;
            return stopped;
        }
        hold_name_only();
        std::vector<uint64_t>().swap(m_names);
        merge_chosen();
        return result();
    }

private:
    const ContactRecord& record(uint32_t p) const { return *m_cards[m_order[p]].record; }

    // Step `done` of the merge's steps (one per card reading keys, as many again over the
    // buckets): reported, then the checkpoint asked. True once it said to stop.
    bool stop_at(int64_t done)
    {
        const int64_t total = 2 * static_cast<int64_t>(m_order.size());
        if (!m_stopped && m_options.checkpoint && m_options.checkpoint()) {
            m_stopped = true;
        }
        if (!m_stopped && m_options.progress) {
            m_options.progress(done, total);
        }
        return m_stopped;
    }

    // The merge order: source, position in the source, then content.
    void order_cards()
    {
        // Each card's source (by its rank among the sources) and number in one 64-bit key: the
        // cards come mostly in that order already, and sorting keys is cheaper than comparing
        // records. Cards that share a key (a file given twice) need their content compared:
        // then all are sorted as records.
        std::map<std::string_view, uint64_t> ranks;
        {
            std::string_view last;
            for (const Card& card : m_cards) {
                if (card.record != nullptr && (ranks.empty() || !same_view(card.source, last))) {
                    ranks.emplace(card.source, 0);
                    last = card.source;
                }
            }
            uint64_t rank = 0;
            for (auto& [source, value] : ranks) {
                value = rank++ << 32;
            }
        }
        struct Keyed
        {
            uint64_t key;
            std::size_t card;
        };
        std::vector<Keyed> keyed;
        keyed.reserve(m_cards.size());
        {
            std::string_view last;
            uint64_t rank = 0;
            for (std::size_t i = 0; i < m_cards.size(); ++i) {
                const Card& card = m_cards[i];
                if (card.record == nullptr) {
                    continue;
                }
                if (keyed.empty() || !same_view(card.source, last)) {
                    rank = ranks.find(card.source)->second;
                    last = card.source;
                }
                // The number's sign bit flipped: signed order as unsigned.
                const uint32_t number = static_cast<uint32_t>(card.record->number()) ^ 0x80000000u;
                keyed.push_back({rank | number, i});
            }
        }
        const auto by_key = [](const Keyed& a, const Keyed& b) { return a.key < b.key; };
        if (!std::is_sorted(keyed.begin(), keyed.end(), by_key)) {
            std::sort(keyed.begin(), keyed.end(), by_key);
        }
        const bool shared = std::adjacent_find(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
                                return a.key == b.key;
                            }) != keyed.end();
        if (shared) {
            std::vector<Keyed>().swap(keyed);
            order_by_records();
            return;
        }
        m_order.reserve(keyed.size());
        for (const Keyed& k : keyed) {
            m_order.push_back(k.card);
        }
    }

    static bool same_view(std::string_view a, std::string_view b)
    {
        return (a.data() == b.data() && a.size() == b.size()) || a == b;
    }

    // The merge order by comparing the cards themselves, for cards that share source and number.
    void order_by_records()
    {
        // The source and number side by side, not behind a pointer each: the sort reads them
        // some twenty times per card.
        struct Place
        {
            std::string_view source;
            int32_t number;
            std::size_t card;
        };
        std::vector<Place> places;
        places.reserve(m_cards.size());
        for (std::size_t i = 0; i < m_cards.size(); ++i) {
            if (m_cards[i].record != nullptr) {
                places.push_back({m_cards[i].source, m_cards[i].record->number(), i});
            }
        }
        std::sort(places.begin(), places.end(), [this](const Place& x, const Place& y) {
            if (x.source != y.source) {
                return x.source < y.source;
            }
            if (x.number != y.number) {
                return x.number < y.number;
            }
            const Card& a = m_cards[x.card];
            const Card& b = m_cards[y.card];
            if (const int c = compare_content(*a.record, *b.record); c != 0) {
                return c < 0;
            }
            return a.folder < b.folder;
        });
        m_order.reserve(places.size());
        for (const Place& place : places) {
            m_order.push_back(place.card);
        }
    }

    // The group's merged card so far, or the card itself, made a draft in `spare`.
    const ContactDraft& group_draft(uint32_t root, ContactDraft& spare)
    {
        draft_of(m_groups[root] ? *m_groups[root] : record(root), spare);
        return spare;
    }

    // The cards' keys, read on two threads for a merge of many cards: the normal forms are most
    // of the merge's work, and a card's keys are its own. Each thread reads a half of the merge
    // order with a Normaliser of its own into key lists of its own, and sorts them; the buckets
    // are then walked over both halves' lists at once (work_buckets), so the halves' entries of
    // one key meet in the order one list of all would give them.
    void collect_keys()
    {
        const auto n = static_cast<uint32_t>(m_order.size());
        if (n > KeyEntry::kGathered) {
            throw std::bad_alloc(); // positions would not fit beside the tag
        }
        m_names.resize(n);
        uint32_t split = n >= kTwoThreadsFrom ? n / 2 : n;
        m_parts.resize(split < n ? 2 : 1);
        std::atomic<uint32_t> helper_done{0}; // cards the helper has read
        detail::HelperThread helper;
        if (split < n && !helper.start([&, split] {
                Normaliser norm(m_options.region);
                read_keys(norm, split, n, m_parts[1], [&](uint32_t) {
                    if (helper.halting()) {
                        return false;
                    }
                    helper_done.fetch_add(1, std::memory_order_relaxed);
                    return true;
                });
            })) {
            split = n; // no second thread: this one reads them all
            m_parts.resize(1);
        }
        read_keys(m_norm, 0, split, m_parts[0],
                  [&](uint32_t p) { return !stop_at(p + helper_done.load(std::memory_order_relaxed)); });
        if (!helper.started()) {
            return;
        }
        // The rest of the helper's half: the checkpoint and the progress go on meanwhile.
        while (!m_stopped && !helper.over()) {
            if (stop_at(split + helper_done.load(std::memory_order_relaxed))) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        helper.finish(m_stopped);
    }

    // The keys of the cards at positions [begin, end) into `part`, each kind sorted by key, then
    // saved cards before the others, then position. `go_on(done)` is asked before each card
    // (`done`: the cards of this part read so far); false ends the reading there.
    template <typename GoOn>
    void read_keys(Normaliser& norm, uint32_t begin, uint32_t end, KeyPart& part, const GoOn& go_on)
    {
        // Room for the most each kind can hold (a search key and a content key per card, three
        // e-mail addresses, four numbers): pages of it that no entry reaches are never touched,
        // so the lists take the memory of their entries, without a doubling vector's copies.
        constexpr std::array<std::size_t, kKeyKinds> kMost = {1, 1, kEmailSlots.size(), kKeyPhones.size()};
        for (std::size_t k = 0; k < kKeyKinds; ++k) {
            part[k] = MappedList<KeyEntry>(kMost[k] * (end - begin));
        }
        const auto add = [&part](KeyKind kind, std::u16string_view key, uint32_t tagged) {
            const uint64_t hash = hash_of(kind, key);
            part[static_cast<std::size_t>(kind)].push_back(
                {static_cast<uint32_t>(hash >> 32), static_cast<uint32_t>(hash), tagged});
        };
        CardKeys keys;
        for (uint32_t p = begin; p < end; ++p) {
            if (!go_on(p - begin)) {
                return;
            }
            const ContactRecord& card = record(p);
            const uint32_t tagged = gathered(card) ? p | KeyEntry::kGathered : p;
            card_keys(norm, card, keys);
            m_names[p] = keys.person.empty() ? 0 : hash_of(KeyKind::content, keys.person) | 1;
            if (contacts::identity_is_search_key(card.identity())) {
                const auto& id = card.identity();
                std::array<char16_t, std::tuple_size_v<contacts::ContactIdentity>> key{};
                std::copy(id.begin(), id.end(), key.begin());
                add(KeyKind::search_key, {key.data(), key.size()}, tagged);
            }
            add(KeyKind::content, keys.content, tagged);
            for (const auto& key : keys.email) {
                if (!key.empty()) {
                    add(KeyKind::email, key, tagged);
                }
            }
            for (const auto& key : keys.phone) {
                if (!key.empty()) {
                    add(KeyKind::phone, key, tagged);
                }
            }
        }
        for (auto& entries : part) {
            sort_in_runs(std::span<KeyEntry>(entries.begin(), entries.size()), 12,
                         [](const KeyEntry& e) { return e.hash(); });
            entries.shrink_to(static_cast<std::size_t>(std::unique(entries.begin(), entries.end()) - entries.begin()));
        }
    }

    struct Pending
    {
        uint32_t first;
        uint32_t second;
        Verdict verdict;
    };

    // What one thread working buckets keeps for itself: its Normaliser and drafts, the pairs it
    // held and the names its unions left on no field (by root: its groups are its own).
    struct Worker
    {
        explicit Worker(const std::string& region) : norm(region) {}
        Normaliser norm;
        ContactDraft scratch_a;
        ContactDraft scratch_b;
        ContactDraft united;
        std::unordered_map<uint32_t, std::vector<std::u16string>> unkept;
        std::vector<Pending> held;
        std::unordered_set<uint64_t> held_roots;
        std::unordered_map<uint64_t, uint32_t> leaders; // work_bucket's, kept for its room
        std::vector<KeyEntry> joined;                   // a bucket whose entries stand in both parts' lists
    };

    void try_pair(Worker& w, uint32_t x, uint32_t y, HeldReason on_names)
    {
        uint32_t rx = m_sets.find(x);
        uint32_t ry = m_sets.find(y);
        if (rx == ry) {
            return;
        }
        if (ry < rx) {
            std::swap(rx, ry);
            std::swap(x, y);
        }
        if (w.held_roots.count(pair_key(rx, ry)) != 0) {
            return;
        }
        // A copy of the card so far (the most common pair of all) stands for both without
        // drafts: unite() would find nothing to add.
        const ContactRecord& ca = m_groups[rx] ? *m_groups[rx] : record(rx);
        const ContactRecord& cb = m_groups[ry] ? *m_groups[ry] : record(ry);
        if (gathered(ca) == gathered(cb) && same_record(ca, cb)) {
            join(w.unkept, rx, ry, nullptr, {});
            return;
        }
        const ContactDraft& a = group_draft(rx, w.scratch_a);
        const ContactDraft& b = group_draft(ry, w.scratch_b);
        // A saved contact leads the card nobody saved that joins it, wherever it stands.
        const bool saved_second = gathered(a) && !gathered(b);
        Verdict v = saved_second ? unite(w.norm, b, a, on_names, w.united) : unite(w.norm, a, b, on_names, w.united);
        if (v.united) {
            if (!v.added && !saved_second) {
                // The first card holds all the other has (a copy): it stands for both.
                join(w.unkept, rx, ry, nullptr, std::move(v.unkept_name));
                return;
            }
            // The merged card so far is kept as a record: a draft is many times larger.
            w.united.set_number(static_cast<int32_t>(rx + 1));
            contacts::ContactRecordPtr united = ContactRecord::make(w.united);
            if (united) { // without memory for the merged card the cards stay as they are
                join(w.unkept, rx, ry, std::move(united), std::move(v.unkept_name));
            }
            return;
        }
        w.held_roots.insert(pair_key(rx, ry));
        w.held.push_back({x, y, std::move(v)});
    }

    // Set ry joins set rx: rx's card becomes `united` (none: rx's card already holds all of ry's),
    // and the names ry's cards kept on no field (in `unkept`, by root), with `unkept_name` this
    // union left out, go to rx.
    void join(std::unordered_map<uint32_t, std::vector<std::u16string>>& unkept, uint32_t rx, uint32_t ry,
              contacts::ContactRecordPtr united, std::u16string unkept_name)
    {
        if (const auto taken = unkept.find(ry); taken != unkept.end()) {
            std::vector<std::u16string> names = std::move(taken->second);
            unkept.erase(taken);
            auto& to = unkept[rx];
            to.insert(to.end(), std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
        }
        if (!unkept_name.empty()) {
            unkept[rx].push_back(std::move(unkept_name));
        }
        m_sets.join_into(rx, ry);
        if (united) {
            m_groups[rx] = std::move(united);
        }
        m_groups[ry].reset();
    }

    // Calls `each(kind, bucket)` for every bucket of kind `k` (the entries of one key, in order,
    // one span whether they stand in one part's list or in both), in the order of their keys;
    // `joined` is room for a bucket of both parts. `each` returns false to end the walk there;
    // then so does this.
    template <typename Each> bool walk_buckets(std::size_t k, std::vector<KeyEntry>& joined, const Each& each) const
    {
        std::array<std::span<const KeyEntry>, 2> lists{};
        std::array<std::size_t, 2> at{};
        const std::size_t parts = m_parts.size();
        for (std::size_t l = 0; l < parts; ++l) {
            lists[l] = m_parts[l][k];
        }
        for (;;) {
            // The smallest key not walked yet: the next bucket's.
            std::optional<uint64_t> hash;
            for (std::size_t l = 0; l < parts; ++l) {
                if (at[l] < lists[l].size() && (!hash || lists[l][at[l]].hash() < *hash)) {
                    hash = lists[l][at[l]].hash();
                }
            }
            if (!hash) {
                return true;
            }
            const int64_t walked = static_cast<int64_t>(at[0] + at[1]);
            std::span<const KeyEntry> bucket;
            std::size_t holding = 0; // lists holding some of the bucket
            for (std::size_t l = 0; l < parts; ++l) {
                std::size_t e = at[l];
                while (e < lists[l].size() && lists[l][e].hash() == *hash) {
                    ++e;
                }
                if (e == at[l]) {
                    continue;
                }
                const std::span<const KeyEntry> run = lists[l].subspan(at[l], e - at[l]);
                if (++holding == 1) {
                    bucket = run;
                } else {
                    joined.assign(bucket.begin(), bucket.end());
                    const std::size_t middle = joined.size();
                    joined.insert(joined.end(), run.begin(), run.end());
                    std::inplace_merge(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(middle),
                                       joined.end());
                    bucket = joined;
                }
                at[l] = e;
            }
            if (!each(walked, bucket)) {
                return false;
            }
        }
    }

    // The buckets, kind after kind. For a merge of many cards on two threads: the cards that
    // share keys, directly or through others, are a group no bucket leaves, so each group's
    // buckets are worked by one thread, in the order one thread would work them all; the groups
    // are parted between the threads by their first card (sides()). Each thread keeps its held
    // pairs and unkept names, joined afterwards in the order of the threads (the result orders
    // the held pairs by their cards, a pair's rows all coming from one thread).
    void work_buckets()
    {
        const auto n = static_cast<int64_t>(m_order.size());
        int64_t total = 0; // entries of every kind
        for (const KeyPart& part : m_parts) {
            for (const auto& entries : part) {
                total += static_cast<int64_t>(entries.size());
            }
        }
        std::vector<uint8_t> side; // by card: the thread of its group (none: one thread)
        if (m_parts.size() > 1) {
            side = sides();
        }
        const std::size_t threads = side.empty() ? 1 : 2;
        std::vector<std::unique_ptr<Worker>> workers;
        for (std::size_t t = 0; t < threads; ++t) {
            workers.push_back(std::make_unique<Worker>(m_options.region));
        }
        std::array<std::atomic<int>, kKeyKinds> passed{}; // threads past a kind's buckets
        // Thread `t`'s share of the buckets; `go_on(walked)` before each bucket (`walked`: the
        // entries of every kind before it). The last thread past a kind lets its lists go.
        const auto work = [&](std::size_t t, const auto& go_on) {
            Worker& w = *workers[t];
            int64_t before = 0; // entries of the kinds before this one
            for (std::size_t k = 0; k < kKeyKinds; ++k) {
                const auto kind = static_cast<KeyKind>(k);
                const bool walked = walk_buckets(k, w.joined, [&](int64_t at, std::span<const KeyEntry> bucket) {
                    if (!go_on(before + at)) {
                        return false;
                    }
                    // A key of one card pairs nothing.
                    if (bucket.size() > 1 && (side.empty() || side[bucket.front().card()] == t)) {
                        work_bucket(w, kind, bucket);
                    }
                    return true;
                });
                if (!walked) {
                    return;
                }
                int64_t size = 0;
                for (const KeyPart& part : m_parts) {
                    size += static_cast<int64_t>(part[k].size());
                }
                before += size;
                // The kind's buckets are done with: their room goes to the result.
                if (passed[k].fetch_add(1, std::memory_order_acq_rel) + 1 == static_cast<int>(threads)) {
                    for (KeyPart& part : m_parts) {
                        part[k].release();
                    }
                }
            }
        };
        detail::HelperThread helper;
        const auto helper_share = [&] { work(1, [&](int64_t) { return !helper.halting(); }); };
        // No second thread: this one works both shares.
        const bool share_after = threads > 1 && !helper.start(helper_share);
        work(0, [&](int64_t walked) { return !stop_at(n + n * walked / total); });
        if (share_after && !m_stopped) {
            helper_share();
        }
        helper.finish(m_stopped);
        if (m_stopped) {
            return;
        }
        for (auto& w : workers) {
            std::move(w->held.begin(), w->held.end(), std::back_inserter(m_held));
            m_unkept.merge(w->unkept);
        }
        stop_at(2 * n);
    }

    // By card, the thread (0 or 1) whose buckets its group's are: the groups of cards that share
    // a key of any kind, parted by a bit of their first card's position mixed (not its parity:
    // files whose copies stand at even places would give one thread all the work).
    std::vector<uint8_t> sides() const
    {
        const auto n = static_cast<uint32_t>(m_order.size());
        UnionFind groups(n);
        std::vector<KeyEntry> joined;
        for (std::size_t k = 0; k < kKeyKinds; ++k) {
            walk_buckets(k, joined, [&groups](int64_t, std::span<const KeyEntry> bucket) {
                uint32_t root = groups.find(bucket.front().card());
                for (const KeyEntry& entry : bucket.subspan(1)) {
                    uint32_t other = groups.find(entry.card());
                    if (other != root) {
                        if (other < root) {
                            std::swap(other, root);
                        }
                        groups.join_into(root, other);
                    }
                }
                return true;
            });
        }
        std::vector<uint8_t> side(n);
        for (uint32_t p = 0; p < n; ++p) {
            side[p] = static_cast<uint8_t>((groups.find(p) * 0x9E3779B9u) >> 31);
        }
        return side;
    }

    // The cards of one bucket (entries of equal key), in order.
    void work_bucket(Worker& w, KeyKind kind, std::span<const KeyEntry> bucket)
    {
        const uint32_t first = bucket.front().card();
        if (kind == KeyKind::search_key || kind == KeyKind::content) {
            for (const KeyEntry& entry : bucket.subspan(1)) {
                try_pair(w, first, entry.card(), HeldReason::field_clash);
            }
            return;
        }
        // Each card meets the first card of its name; a card of a new name (or of none) meets
        // the bucket's first card.
        auto& leaders = w.leaders;
        leaders.clear();
        if (m_names[first] != 0) {
            leaders.emplace(m_names[first], first);
        }
        for (const KeyEntry& entry : bucket.subspan(1)) {
            const uint32_t c = entry.card();
            const uint64_t name = m_names[c];
            const auto leader = name == 0 ? leaders.end() : leaders.find(name);
            if (leader != leaders.end()) {
                try_pair(w, leader->second, c, HeldReason::shared_address);
            } else {
                if (name != 0) {
                    leaders.emplace(name, c);
                }
                try_pair(w, first, c, HeldReason::shared_address);
            }
        }
    }

    // The pairs the user merged, after the rules: the first card (in the merge order) leads.
    void merge_chosen()
    {
        if (m_options.user_merged.empty()) {
            return;
        }
        std::unordered_map<const ContactRecord*, uint32_t> position;
        for (uint32_t p = 0; p < m_order.size(); ++p) {
            position.emplace(&record(p), p);
        }
        for (const auto& [first, second] : m_options.user_merged) {
            const auto a = position.find(first);
            const auto b = position.find(second);
            if (a == position.end() || b == position.end()) {
                continue;
            }
            uint32_t rx = m_sets.find(a->second);
            uint32_t ry = m_sets.find(b->second);
            if (rx == ry) {
                continue;
            }
            if (ry < rx) {
                std::swap(rx, ry);
            }
            const ContactDraft& da = group_draft(rx, m_scratch_a);
            const ContactDraft& db = group_draft(ry, m_scratch_b);
            Verdict v = unite(m_norm, da, db, HeldReason::field_clash, m_united, true);
            if (!v.united) {
                continue; // no room: the pair stays held
            }
            m_united.set_number(static_cast<int32_t>(rx + 1));
            contacts::ContactRecordPtr united = ContactRecord::make(m_united);
            if (!united) {
                continue;
            }
            join(m_unkept, rx, ry, std::move(united), std::move(v.unkept_name));
            m_by_user.insert(rx);
            m_by_user.erase(ry);
        }
    }

    // Cards that share a name and were neither merged nor held are held as "name only".
    void hold_name_only()
    {
        // The cards that have a name, by name then position.
        std::vector<std::pair<uint64_t, uint32_t>> names;
        names.reserve(m_names.size());
        for (uint32_t p = 0; p < m_names.size(); ++p) {
            if (m_names[p] != 0) {
                names.emplace_back(m_names[p], p);
            }
        }
        sort_in_runs(std::span(names), 16, [](const std::pair<uint64_t, uint32_t>& n) { return n.first; });
        std::unordered_set<uint64_t> held;
        for (const auto& h : m_held) {
            held.insert(pair_key(m_sets.find(h.first), m_sets.find(h.second)));
        }
        std::unordered_set<uint32_t> seen;
        for (std::size_t s = 0; s < names.size();) {
            std::size_t e = s + 1;
            while (e < names.size() && names[e].first == names[s].first) {
                ++e;
            }
            const uint32_t first = names[s].second;
            const uint32_t root = m_sets.find(first);
            seen.clear();
            seen.insert(root);
            for (std::size_t i = s + 1; i < e; ++i) {
                const uint32_t c = names[i].second;
                const uint32_t rc = m_sets.find(c);
                if (!seen.insert(rc).second || held.count(pair_key(root, rc)) != 0) {
                    continue;
                }
                Verdict v;
                v.reason = HeldReason::name_only;
                v.field = "name";
                draft_of(record(first), m_scratch_a);
                v.first_value = shown_name(m_scratch_a);
                draft_of(record(c), m_scratch_a);
                v.second_value = shown_name(m_scratch_a);
                m_held.push_back({first, c, std::move(v)});
            }
            s = e;
        }
    }

    MergeResult result()
    {
        MergeResult r;
        const auto n = static_cast<uint32_t>(m_order.size());
        std::vector<uint32_t> output_index(n, 0);
        // A group's root is its first card in the merge order: it is met before the others.
        std::vector<uint32_t> sizes; // by output card
        for (uint32_t p = 0; p < n; ++p) {
            const uint32_t root = m_sets.find(p);
            if (root == p) {
                output_index[p] = static_cast<uint32_t>(sizes.size());
                sizes.push_back(0);
            }
            ++sizes[output_index[root]];
        }
        r.cards.resize(sizes.size());
        r.records.reserve(sizes.size());
        r.members.resize(n);
        std::size_t names = 0;
        for (const auto& [root, unkept] : m_unkept) {
            names += unkept.size();
        }
        r.names_not_kept.reserve(names); // exactly: the views below look into it as it fills
        {
            std::size_t at = 0;
            for (std::size_t c = 0; c < sizes.size(); ++c) {
                r.cards[c].cards = {r.members.data() + at, sizes[c]};
                sizes[c] = static_cast<uint32_t>(at); // now where the card's next member goes
                at += r.cards[c].cards.size();
            }
        }
        for (uint32_t p = 0; p < n; ++p) {
            r.members[sizes[output_index[m_sets.find(p)]]++] = static_cast<uint32_t>(m_order[p]);
        }
        std::vector<uint32_t>().swap(sizes);
        // A card's number is its place in the merge order: a card that has it already is
        // written as it is, a merged one (numbered so when made) or a card scanned in another
        // order is a record of the result's own.
        for (uint32_t p = 0; p < n; ++p) {
            if (m_sets.find(p) != p) {
                continue;
            }
            MergedCard& out = r.cards[output_index[p]];
            if (const auto unkept = m_unkept.find(p); unkept != m_unkept.end()) {
                const std::size_t first = r.names_not_kept.size();
                std::move(unkept->second.begin(), unkept->second.end(), std::back_inserter(r.names_not_kept));
                out.names_not_kept = {r.names_not_kept.data() + first, unkept->second.size()};
            }
            out.by_user = m_by_user.count(p) != 0;
            if (m_groups[p]) {
                out.record = m_groups[p].get();
                r.owned.push_back(std::move(m_groups[p]));
            } else if (record(p).number() == static_cast<int32_t>(p + 1)) {
                out.record = &record(p);
            } else {
                draft_of(record(p), m_scratch_a);
                m_scratch_a.set_number(static_cast<int32_t>(p + 1));
                contacts::ContactRecordPtr copy = ContactRecord::make(m_scratch_a);
                if (!copy) {
                    throw std::bad_alloc();
                }
                out.record = copy.get();
                r.owned.push_back(std::move(copy));
            }
            r.records.push_back(out.record);
        }
        // The merged cards are the result's now: their room by root goes to the lists below.
        std::vector<contacts::ContactRecordPtr>().swap(m_groups);
        std::vector<uint32_t>().swap(output_index);
        r.output_of.assign(m_cards.size(), nullptr);
        for (const MergedCard& card : r.cards) {
            for (const uint32_t i : card.cards) {
                r.output_of[i] = card.record;
            }
        }
        r.item.assign(m_cards.size(), 0);
        for (uint32_t p = 0, run = 0; p < n; ++p) {
            run = p > 0 && m_cards[m_order[p]].source == m_cards[m_order[p - 1]].source ? run + 1 : 1;
            r.item[m_order[p]] = static_cast<int32_t>(run);
        }
        r.merged = static_cast<int64_t>(n) - static_cast<int64_t>(r.cards.size());

        // Held pairs: once per pair of groups, none inside a group, in the merge order.
        std::vector<std::size_t> index(m_held.size());
        std::iota(index.begin(), index.end(), 0);
        const auto ordered = [](uint32_t a, uint32_t b) { return std::make_pair(std::min(a, b), std::max(a, b)); };
        std::stable_sort(index.begin(), index.end(), [&](std::size_t a, std::size_t b) {
            return ordered(m_held[a].first, m_held[a].second) < ordered(m_held[b].first, m_held[b].second);
        });
        std::unordered_set<uint64_t> done;
        for (std::size_t i : index) {
            Pending& h = m_held[i];
            const uint32_t ra = m_sets.find(h.first);
            const uint32_t rb = m_sets.find(h.second);
            if (ra == rb || !done.insert(pair_key(ra, rb)).second) {
                continue;
            }
            HeldPair pair;
            const bool swap = h.second < h.first;
            pair.first = m_order[swap ? h.second : h.first];
            pair.second = m_order[swap ? h.first : h.second];
            pair.reason = h.verdict.reason;
            pair.field = std::move(h.verdict.field);
            pair.first_value = std::move(swap ? h.verdict.second_value : h.verdict.first_value);
            pair.second_value = std::move(swap ? h.verdict.first_value : h.verdict.second_value);
            r.held.push_back(std::move(pair));
        }
        return r;
    }

    std::span<const Card> m_cards;
    const MergeOptions& m_options;
    Normaliser m_norm;
    std::vector<std::size_t> m_order; // merge order -> input index
    UnionFind m_sets;
    std::vector<contacts::ContactRecordPtr> m_groups; // by root: the merged card so far
    // By root, for the few groups that have them: names of joined cards on no field.
    std::unordered_map<uint32_t, std::vector<std::u16string>> m_unkept;
    std::vector<uint64_t> m_names; // by position: the name's hash, 0 for none
    std::vector<KeyPart> m_parts;  // by part of the cards, by kind, sorted; freed once worked through
    std::vector<Pending> m_held;
    std::unordered_set<uint32_t> m_by_user; // roots of groups a user's choice made
    bool m_stopped = false;                 // the checkpoint ended the merge
    ContactDraft m_scratch_a;
    ContactDraft m_scratch_b;
    ContactDraft m_united;
};

} // namespace

std::string region_of_locale()
{
    for (const char* name : {"LC_ALL", "LC_TELEPHONE", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        const std::string_view locale(value);
        const std::size_t under = locale.find('_');
        if (under == std::string_view::npos || under + 3 > locale.size()) {
            return {};
        }
        std::string region(locale.substr(under + 1, 2));
        return region_is_known(region) ? region : std::string();
    }
    return {};
}

bool region_is_known(std::string_view region)
{
    if (region.size() != 2) {
        return false;
    }
    std::string upper(region);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::set<std::string> regions;
    i18n::phonenumbers::PhoneNumberUtil::GetInstance()->GetSupportedRegions(&regions);
    return regions.count(upper) != 0;
}

std::string_view held_reason_name(HeldReason reason) noexcept
{
    switch (reason) {
    case HeldReason::field_clash:
        return "field clash";
    case HeldReason::no_room:
        return "no room";
    case HeldReason::shared_address:
        return "shared address";
    case HeldReason::name_only:
        return "name only";
    }
    return {};
}

void sort_for_merge(std::vector<std::string>& files)
{
    std::sort(files.begin(), files.end());
}

MergeResult merge_cards(std::span<const Card> cards, const MergeOptions& options)
{
    MergeResult result = Merger(cards, options).run();
    if (!options.user_kept.empty()) {
        std::set<std::pair<const ContactRecord*, const ContactRecord*>> kept;
        for (const auto& [a, b] : options.user_kept) {
            kept.emplace(std::min(a, b, std::less<>()), std::max(a, b, std::less<>()));
        }
        for (HeldPair& pair : result.held) {
            const ContactRecord* a = cards[pair.first].record;
            const ContactRecord* b = cards[pair.second].record;
            pair.kept_by_user = kept.count({std::min(a, b, std::less<>()), std::max(a, b, std::less<>())}) != 0;
        }
    }
    return result;
}

contacts::ContactGroups repoint_groups(const contacts::ContactGroups& groups, std::span<const Card> cards,
                                       const MergeResult& result)
{
    contacts::ContactGroups out = groups;
    const bool names_contacts = std::any_of(groups.groups.begin(), groups.groups.end(), [](const auto& group) {
        return std::any_of(group.members.begin(), group.members.end(),
                           [](const auto& m) { return m.contact != nullptr; });
    });
    if (!names_contacts) {
        return out;
    }
    std::unordered_map<const ContactRecord*, const ContactRecord*> to;
    for (std::size_t i = 0; i < cards.size() && i < result.output_of.size(); ++i) {
        to.emplace(cards[i].record, result.output_of[i]);
    }
    for (auto& group : out.groups) {
        for (auto& member : group.members) {
            if (member.contact == nullptr) {
                continue;
            }
            const auto it = to.find(member.contact);
            if (it != to.end()) {
                member.contact = it->second;
            }
        }
    }
    return out;
}

} // namespace merge
