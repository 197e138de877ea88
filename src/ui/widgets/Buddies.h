#pragma once
// Caption labels as the buddies of their controls, so that a screen reader
// names a control by the caption beside it (and a mnemonic in the caption,
// where one exists, moves the focus to it).
class QWidget;

// In every grid under root, a caption label without a buddy becomes the
// buddy of the first control right of it in its row that takes the focus.
// A label found there first (a column heading beside it) ends the search.
void linkCaptions(QWidget* root);
