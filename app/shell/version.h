// The program's name, version texts and web addresses.
#pragma once

inline constexpr const char* kAppTitle = "Vellumo";
inline constexpr const char* kVersionText = "0.4";
inline constexpr const char* kVersionDate = "2024-06-01";

// The maker's pages. The update information is a small text file whose first line is the
// newest version text ("0.5"); VELLUMO_UPDATE_URL names another location (tests use it).
inline constexpr const char* kHomePageUrl = "https://vellumo.example.org/";
inline constexpr const char* kFeedbackUrl = "https://vellumo.example.org/feedback";
inline constexpr const char* kUpdateInfoUrl = "https://vellumo.example.org/update/version.txt";
