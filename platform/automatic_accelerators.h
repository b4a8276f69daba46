#pragma once
// The keyboard accelerators a menu level gives itself each time it opens.

#include <QString>
#include <vector>

namespace platform {

struct MenuCaption {
    QString text;
    bool visible = true;
};

// Returns the captions with "&" markers: kept where an item already marks a free key,
// added before the first character whose key is still free otherwise. Keys are
// 0-9 and A-Z (a-z folded). Items that are hidden, empty or "-" are left as they are.
// The marker is the last single "&" ("&&" is a literal). A marker on a character that
// is no key stays and takes no key; a marker whose key an earlier item holds is removed
// (with any other single "&" of that caption) and the item is served like the rest.
// Items left without a key are served first in a further try; the try serving the most
// items wins, the earliest on a tie. Applying the result again changes nothing.
std::vector<QString> assign_accelerators(const std::vector<MenuCaption>& captions);

}  // namespace platform

class QMenu;

namespace platform {

// Applies assign_accelerators to the menu's own items (not to its submenus' items).
void apply_automatic_accelerators(QMenu* menu);

}  // namespace platform
