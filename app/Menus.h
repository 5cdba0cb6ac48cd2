#pragma once

class wxMenuBar;

// Command identifiers of the window's own menu items.
enum {
    ID_DRIVE_CONNECT = 6001,
    ID_DRIVE_DISCONNECT = 6002,
    ID_DONATION = 6003,
    ID_OPEN_PICTURES = 6004,
    ID_ADD_CAMERA = 6005,
    ID_CAMERA_SETTINGS = 6006,
    ID_REMOVE_CAMERA = 6007,
};

// The window's menus: "&Drive" (About, Settings, Exit, Connect, Disconnect,
// Open Picture Folder), "&Camera" and "&Donation".
wxMenuBar* BuildMenuBar();
