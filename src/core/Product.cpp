#include "core/Product.h"

namespace lw {

std::string rawValue(Product product) {
    switch (product) {
        case Product::family: return "lotwright";
        case Product::realEstate: return "gablewise";
        case Product::texture: return "mapforge";
        case Product::podcast: return "castloom";
    }
    return "lotwright";
}

std::optional<Product> productFromRawValue(const std::string& raw) {
    for (auto p : allProducts())
        if (rawValue(p) == raw) return p;
    return std::nullopt;
}

const std::vector<Product>& allProducts() {
    static const std::vector<Product> all{Product::family, Product::realEstate, Product::texture, Product::podcast};
    return all;
}

std::string displayName(Product product) {
    switch (product) {
        case Product::family: return "Lotwright";
        case Product::realEstate: return "Eavesmark";
        case Product::texture: return "Mapforge Lite";
        case Product::podcast: return "Castloom";
    }
    return "Lotwright";
}

std::string downloadName(Product product) {
    switch (product) {
        case Product::family: return "Lotwright";
        case Product::realEstate: return "Eavesmark";
        case Product::texture: return "MapforgeLite";
        case Product::podcast: return "Castloom";
    }
    return "Lotwright";
}

}  // namespace lw
