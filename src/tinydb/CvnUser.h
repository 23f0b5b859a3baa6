#pragma once
// The account record the administration client creates on the target, and the
// rules for its fields.
#include <string>

namespace tavir::tinydb {

struct CvnUser {
    // All UTF-8.
    std::string domain;
    std::string name; // the mailbox, without "@domain"
    std::string password;
    std::string fullName;

    // True when the record may be created; else `sentence` says which field
    // is wrong and why.
    bool validate(std::string& sentence) const;
    // The same for the account's own fields (name, password, full name),
    // its domain checked apart (CvnDomain::validate): a list of accounts
    // checks each of its few domains once.
    bool validateAccountFields(std::string& sentence) const;
};

} // namespace tavir::tinydb
