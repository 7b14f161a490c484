#include "tile.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace zelmo::network {

Tile Tile::whole(std::size_t rows) {
    Tile tile;
    tile.sources.resize(rows);
    std::iota(tile.sources.begin(), tile.sources.end(), std::size_t{0});
    tile.targets = tile.sources;
    tile.keys.assign(tile.sources.begin(), tile.sources.end());
    return tile;
}

void Tile::check(std::size_t rows) const {
    auto inside = [rows](const std::vector<std::size_t>& v) {
        return std::all_of(v.begin(), v.end(), [rows](std::size_t i) { return i < rows; });
    };
    if (keys.size() != rows) throw std::invalid_argument("one key per row is needed");
    if (!inside(sources) || !inside(targets)) throw std::invalid_argument("a tile's index is beyond the rows");
    auto distinct = [](std::vector<std::size_t> v) {
        std::sort(v.begin(), v.end());
        return std::adjacent_find(v.begin(), v.end()) == v.end();
    };
    if (!distinct(sources) || !distinct(targets)) throw std::invalid_argument("a tile names a row twice");
}

std::uint64_t Tile::ordered_pairs() const {
    std::vector<std::size_t> s = sources, t = targets;
    std::sort(s.begin(), s.end());
    std::sort(t.begin(), t.end());
    std::uint64_t same = 0;  // rows in both lists (each list names a row at most once)
    for (auto a = s.begin(), b = t.begin(); a != s.end() && b != t.end();) {
        if (*a < *b) {
            ++a;
        } else if (*b < *a) {
            ++b;
        } else {
            ++same, ++a, ++b;
        }
    }
    return units() - same;
}

}  // namespace zelmo::network
