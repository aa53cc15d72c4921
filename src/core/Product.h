#pragma once
// The product identity the update feed is keyed by.
#include <optional>
#include <string>
#include <vector>

namespace lw {

enum class Product { family, realEstate, texture, podcast };

std::string rawValue(Product product);  // "lotwright", "gablewise", "mapforge", "castloom"
std::optional<Product> productFromRawValue(const std::string& raw);
const std::vector<Product>& allProducts();
std::string displayName(Product product);   // "Lotwright", "Eavesmark", "Mapforge Lite", "Castloom"
std::string downloadName(Product product);  // file stem of the product's feed on the update server

}  // namespace lw
