// How find folds texts, so that what a user types finds what the list shows.
#pragma once

#include <QString>
#include <QStringView>
#include <string>

namespace ui {

// The text as find compares it, so that what a user types finds what the list shows:
//  - compatibility decomposition (NFKD): fullwidth "ＡＢＣ" is "abc", "ﬁ" is "fi", "²" is "2";
//  - accents dropped: combining marks of a non-zero combining class (Latin, Greek and Cyrillic
//    accents, Hebrew and Arabic vowel points) and enclosing marks. Marks of class 0 (the vowel
//    signs of Indic scripts) and of classes 7, 8 and 9 (nukta, kana voicing, virama) make a
//    different letter and stay;
//  - invisible format characters (soft hyphen, zero-width joiners, variation selectors, ...) dropped;
//  - case folded (Greek final sigma is sigma);
//  - letters with no decomposition that users type as their base letters: ß and ẞ as "ss", æ as
//    "ae", œ as "oe", þ as "th", ø as "o", đ and ð as "d", ł as "l", ħ as "h", ŧ as "t", and the
//    dotless ı as "i" (with İ decomposing to I, Turkish dotted and dotless i both find "i");
//  - typographic apostrophes as ' and dashes and the minus sign as -;
//  - decimal digits of every script as 0-9;
//  - a lone surrogate as U+FFFD, so it neither vanishes (joining the text around it) nor matches
//    anything but another broken character.
// CJK ideographs, kana and other letters pass through unchanged.
QString foldForFind(QStringView text);
// Appends the fold of `text` to `out` in UTF-8, the form in which find keeps and searches texts.
void appendFoldForFind(std::string& out, QStringView text);
// A text folded already (a query's term) in UTF-8.
std::string utf8ForFind(QStringView folded);

} // namespace ui
