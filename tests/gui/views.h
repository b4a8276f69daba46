#pragma once
// What the main window's two views of the list show, for tests to compare.

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <string>
#include <vector>

#include "unit1.h"

namespace kestrun_test {

inline std::vector<QString> line_texts(const TForm1& form) {
    std::vector<QString> texts;
    for (int i = 0; i < form.CheckListBox1->count(); ++i)
        texts.push_back(form.CheckListBox1->item(i)->text());
    return texts;
}

// The stored name bytes of each line.
inline std::vector<std::string> line_names(const TForm1& form) {
    std::vector<std::string> names;
    for (int i = 0; i < form.CheckListBox1->count(); ++i)
        names.push_back(TForm1::line_name(form.CheckListBox1->item(i)));
    return names;
}

inline std::vector<bool> line_checks(const TForm1& form) {
    std::vector<bool> checks;
    for (int i = 0; i < form.CheckListBox1->count(); ++i)
        checks.push_back(form.CheckListBox1->item(i)->checkState() == Qt::Checked);
    return checks;
}

// The names of the submenu's items made so far.
inline std::vector<std::string> item_names(const TForm1& form) {
    std::vector<std::string> names;
    for (const QAction* item : form.RunApplication1->actions())
        names.push_back(TForm1::item_name(item));
    return names;
}

}  // namespace kestrun_test
