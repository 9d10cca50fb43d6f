#include "core/keys/pem.hpp"

#include "core/keys/white_space.hpp"

namespace velora::pem {

std::string wrap_pem_lines(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / kLineChars);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i != 0 && i % kLineChars == 0) out.push_back('\n');
        out.push_back(text[i]);
    }
    return out;
}

Result<std::string_view> extract_pem_body(std::string_view text, std::string_view header, std::string_view footer) {
    const std::size_t h = text.find(header);
    if (h == std::string_view::npos) return fail(VeloraError::KeySerialization("PEM header not found"));
    const std::size_t body_start = h + header.size();
    const std::size_t f = text.find(footer, body_start);
    if (f == std::string_view::npos) return fail(VeloraError::KeySerialization("PEM footer not found"));
    return text.substr(body_start, f - body_start);
}

std::string unwrap_pem_body(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (const std::size_t ws = text::white_space_length(text, i); ws != 0) {
            i += ws;
        } else {
            out.push_back(text[i]);
            ++i;
        }
    }
    return out;
}

std::string armour(std::string_view header, std::string_view body, std::string_view footer) {
    std::string out;
    out.reserve(header.size() + body.size() + body.size() / kLineChars + footer.size() + 3);
    out.append(header);
    out.push_back('\n');
    out.append(wrap_pem_lines(body));
    out.push_back('\n');
    out.append(footer);
    out.push_back('\n');
    return out;
}

}  // namespace velora::pem
