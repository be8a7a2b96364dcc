#include "KELResMgr/Package.h"

// Placeholder until the package reader lands: nothing is a package.
namespace kel {
bool IsValidPackage(const std::string&) {
    return false;
}
bool HasPackageSignature(const std::string&) {
    return false;
}
bool CopyPackageBody(const std::string&, const std::string&) {
    return false;
}
bool ExtractPackage(const std::string&, const std::string&) noexcept {
    return false;
}
}  // namespace kel
