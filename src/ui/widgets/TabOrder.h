#pragma once
// The Tab key's order as the eye reads a page: row by row from the top, left
// to right within a row, and a box read whole before the box beside it.
class QWidget;

void orderTabsByPosition(QWidget* page);
