#include "automatic_accelerators.h"

#include <QAction>
#include <QMenu>
#include <QStringView>
#include <algorithm>
#include <array>
#include <optional>

namespace platform {

namespace {

constexpr QStringView key_characters = u"1234567890ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// Index into the 36 keys, or nothing for a character that cannot be an accelerator.
// Only a-z fold to upper case; accented letters and other scripts stay keyless.
std::optional<int> key_of(QChar c) {
    char16_t u = c.unicode();
    if (u >= u'a' && u <= u'z') u = static_cast<char16_t>(u - u'a' + u'A');
    const auto at = key_characters.indexOf(QChar(u));
    if (at < 0) return std::nullopt;
    return static_cast<int>(at);
}

using KeySet = std::array<bool, 36>;  // one per key character
static_assert(key_characters.size() == 36);

// Position of the "&" that marks the caption's accelerator: the last single "&" that
// has a character after it ("&&" is a literal ampersand, a trailing "&" marks nothing).
std::optional<qsizetype> marker_position(const QString& caption) {
    std::optional<qsizetype> found;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] != u'&') continue;
        if (i + 1 >= caption.size()) break;
        if (caption[i + 1] != u'&') found = i;
        ++i;  // the next character is either the literal's second half or the marked one
    }
    return found;
}

// Drops every single "&" that marks a character, keeping "&&" literals. Earlier
// markers are removed too, so that the one inserted later is the only one.
QString without_markers(const QString& caption) {
    QString out;
    out.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == u'&' && i + 1 < caption.size()) {
            if (caption[i + 1] == u'&')
                out += u"&&";
            else
                out += caption[i + 1];
            ++i;
            continue;
        }
        out += caption[i];
    }
    return out;
}

// Position (in the caption's text) of the first shown character whose key is still
// free, skipping "&&" literals; nothing when the caption has none.
std::optional<qsizetype> first_free_character(const QString& caption, const KeySet& taken) {
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == u'&') {
            ++i;  // "&&", or a trailing "&": neither is a key
            continue;
        }
        const auto key = key_of(caption[i]);
        if (key && !taken[static_cast<std::size_t>(*key)]) return i;
    }
    return std::nullopt;
}

struct Serving {
    std::vector<std::size_t> unserved;                      // in serving order
    std::vector<std::pair<std::size_t, qsizetype>> placed;  // item, where "&" goes
};

// Serves the items in the given order from the keys left free.
Serving serve(const std::vector<std::size_t>& order, const std::vector<QString>& captions,
              KeySet taken) {
    Serving result;
    for (const std::size_t item : order) {
        const auto at = first_free_character(captions[item], taken);
        if (!at) {
            result.unserved.push_back(item);
            continue;
        }
        taken[static_cast<std::size_t>(*key_of(captions[item][*at]))] = true;
        result.placed.emplace_back(item, *at);
    }
    return result;
}

}  // namespace

std::vector<QString> assign_accelerators(const std::vector<MenuCaption>& captions) {
    std::vector<QString> out;
    out.reserve(captions.size());
    for (const auto& c : captions) out.push_back(c.text);

    KeySet taken{};
    std::vector<std::size_t> pending;

    // Markers already in place keep their keys, first come first served. A marker on a
    // character that is no key (a space, "é") stays as it is and takes nothing.
    for (std::size_t i = 0; i < captions.size(); ++i) {
        const auto& c = captions[i];
        if (!c.visible || c.text.isEmpty() || c.text == u"-") continue;
        const auto marker = marker_position(c.text);
        if (!marker) {
            pending.push_back(i);
            continue;
        }
        const auto key = key_of(c.text[*marker + 1]);
        if (!key) continue;
        if (!taken[static_cast<std::size_t>(*key)]) {
            taken[static_cast<std::size_t>(*key)] = true;
            continue;
        }
        out[i] = without_markers(c.text);
        pending.push_back(i);
    }

    // Serve in menu order; while items are left without a key, try again with those
    // items first (in the order they were in, the others behind them in theirs). A
    // further try follows only one that served more than every try before it, so there
    // are fewer tries than items. The earliest of the best tries wins.
    std::vector<std::size_t> order = pending;
    Serving best = serve(order, out, taken);
    Serving last = best;
    for (std::size_t tries = 0; !last.unserved.empty() && tries < pending.size(); ++tries) {
        std::vector<std::size_t> next = last.unserved;
        std::vector<bool> left_without(captions.size(), false);  // a look-up, not a search
        for (const std::size_t item : last.unserved) left_without[item] = true;
        for (const std::size_t item : order) {
            if (!left_without[item]) next.push_back(item);
        }
        order = std::move(next);
        last = serve(order, out, taken);
        if (last.unserved.size() >= best.unserved.size()) break;
        best = last;
    }

    for (const auto& [item, at] : best.placed) out[item].insert(at, u'&');
    return out;
}

void apply_automatic_accelerators(QMenu* menu) {
    if (menu == nullptr) return;
    const QList<QAction*> actions = menu->actions();
    std::vector<MenuCaption> captions;
    captions.reserve(static_cast<std::size_t>(actions.size()));
    for (const QAction* action : actions) {
        captions.push_back({action->text(), action->isVisible() && !action->isSeparator()});
    }
    const auto texts = assign_accelerators(captions);
    // Only the caption changes: the item's name stays in its data.
    for (qsizetype i = 0; i < actions.size(); ++i) {
        const auto& text = texts[static_cast<std::size_t>(i)];
        if (actions[i]->text() != text) actions[i]->setText(text);
    }
}

}  // namespace platform
