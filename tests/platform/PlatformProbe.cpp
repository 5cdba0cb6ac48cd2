// A helper the platform tests run as a fresh process: libsecret keeps one
// Secret Service connection per process and GTK one default icon, so each
// scenario that depends on its surroundings gets a process of its own.
//
//   platform_probe store OP...   OP: add:SERVICE:ACCOUNT:HEX, get:SERVICE:ACCOUNT,
//                                    delete:SERVICE:ACCOUNT; one result line each
//   platform_probe icon          applies the icon, prints the default icons' sizes

#include "AppIcon.h"
#include "SecureStore.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t colon = text.find(':'); colon != std::string::npos; colon = text.find(':', start)) {
        fields.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

int RunStore(int argc, char** argv) {
    std::unique_ptr<SecureStore> store = CreateSystemSecureStore();
    for (int i = 2; i < argc; ++i) {
        const std::vector<std::string> op = Split(argv[i]);
        if (op.size() == 4 && op[0] == "add") {
            const bool added = store->Add(op[1], op[2], FromHex(op[3]));
            std::printf("add %s\n", added ? "ok" : "fail");
        } else if (op.size() == 3 && op[0] == "get") {
            std::string secret;
            const bool found = store->Get(op[1], op[2], secret);
            std::printf("get %s\n", found ? ToHex(secret).c_str() : "none");
        } else if (op.size() == 3 && op[0] == "delete") {
            std::printf("delete %s\n", store->Delete(op[1], op[2]) ? "ok" : "fail");
        } else {
            std::printf("bad %s\n", argv[i]);
            return 2;
        }
    }
    return 0;
}

int RunIcon() {
    ApplyMacAppIcon();
    GList* icons = gtk_window_get_default_icon_list();
    std::printf("icons %u\n", g_list_length(icons));
    for (GList* item = icons; item != nullptr; item = item->next) {
        GdkPixbuf* pixbuf = GDK_PIXBUF(item->data);
        std::printf("%dx%d\n", gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf));
    }
    g_list_free(icons);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "store") {
        return RunStore(argc, argv);
    }
    if (mode == "icon") {
        return RunIcon();
    }
    std::fprintf(stderr, "usage: platform_probe store OP... | icon\n");
    return 2;
}
