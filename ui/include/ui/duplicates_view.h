// "Possible duplicates": the pairs of cards a merge held for review, shown side by side (every
// field either card holds, the fields whose values differ marked, where each card came from) with
// the reason it held them; for each pair the user chooses "Merge" or "Keep both".
//
// The choices are record pairs of the window's store (ReviewChoices): the next conversion with
// "Merge duplicates" merges the pairs the user merged (merge/merge.h, MergeOptions::user_merged)
// and its merge-report.csv says so, as it says of the pairs the user kept apart
// (MergeOptions::user_kept). They name records, so they end when the store is cleared.
#pragma once

#include <QDialog>
#include <set>
#include <utility>
#include <vector>

#include "contacts/contact_record.h"

class QLabel;
class QListView;
class QPushButton;
class QTableWidget;

namespace merge {
struct StoreMerge;
} // namespace merge

namespace ui {

using RecordPair = std::pair<const contacts::ContactRecord*, const contacts::ContactRecord*>;

// What the user chose for held pairs (window thread only).
struct ReviewChoices
{
    std::vector<RecordPair> merged; // in the order chosen
    std::set<RecordPair> kept;      // "Keep both"
    bool empty() const { return merged.empty() && kept.empty(); }
};

// The pair a held pair of the merge stands for, and how it shows.
struct HeldView
{
    RecordPair cards;
    std::u16string first_source; // "FILE > FOLDER"
    std::u16string second_source;
    QString reason; // "field clash: job_title ("Engineer", "Manager")"
};

class DuplicatesView : public QDialog
{
    Q_OBJECT
public:
    // Shows `pairs`; the buttons change `choices`, which must outlive the view.
    DuplicatesView(std::vector<HeldView> pairs, ReviewChoices& choices, QWidget* parent = nullptr);

    int pairCount() const { return int(m_pairs.size()); }
    // Shows pair `index` side by side.
    void showPair(int index);
    int currentPair() const { return m_current; }
    // "Merge" / "Keep both" for the pair shown; the next undecided pair is shown then.
    void mergeShown();
    void keepShown();
    // Pair `index` as the list shows it: both cards' names, then whether the user merged the pair
    // or kept it apart.
    QString pairLabel(int index) const;
    // What the view shows (for tests): the list of pairs, the fields, the reason.
    QListView* pairList() const { return m_list; }
    QTableWidget* fieldTable() const { return m_fields; }
    QLabel* reasonLabel() const { return m_reason; }
    QPushButton* mergeButton() const { return m_merge; }
    QPushButton* keepButton() const { return m_keep; }

private:
    void decide(bool merge);
    class PairList;

    std::vector<HeldView> m_pairs;
    ReviewChoices& m_choices;
    int m_current = -1;
    QListView* m_list = nullptr;
    PairList* m_pairList = nullptr;
    QTableWidget* m_fields = nullptr;
    QLabel* m_reason = nullptr;
    QPushButton* m_merge = nullptr;
    QPushButton* m_keep = nullptr;
};

// The held pairs of `merged`, a merge of every record of the window's store by the rules alone
// (phone numbers read in the locale's region): those the user decided already among them, so a
// choice can be changed.
std::vector<HeldView> held_pairs(const merge::StoreMerge& merged);

} // namespace ui
