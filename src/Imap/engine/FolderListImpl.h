#pragma once
// The folder list of one account, held in one multi-index container: by
// identifier, by the name the source listed, by target name, and in tree
// order (parents before children) for creating the tree on the target.
// Building it takes time and memory in proportion to the listing: every
// folder is found below its parent once, and names share their parents'
// segments.
#include "Imap/engine/IFolderList.h"

#include <boost/multi_index/hashed_index.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/sequenced_index.hpp>
#include <boost/multi_index_container.hpp>

namespace tavir::migration {

class FolderListImpl : public IFolderList {
public:
    explicit FolderListImpl(FolderStore store);

    void build(const std::vector<tavir::mail::FolderInfo>& listed, char separator,
        const std::vector<tavir::mail::FolderInfo>& onTarget) override;
    std::size_t size() const override { return folders_.size(); }

    std::vector<MigrationFolder> foldersToCreate() const override;
    std::vector<MigrationFolder> foldersToCopy() const override;
    std::vector<MigrationFolder> unreadableFolders() const override;
    std::vector<MigrationFolder> skippedFolders() const override;

    const MigrationFolder* findById(const tavir::mailserver::common::KUuid& id) const override;
    const MigrationFolder* findByListedName(const std::string& listedName) const override;
    const MigrationFolder* findByTargetName(const std::wstring& targetName) const override;

private:
    struct ById { };
    struct ByListedName { };
    struct ByTargetName { };
    struct InTreeOrder { };

    using Folders = boost::multi_index_container<MigrationFolder,
        boost::multi_index::indexed_by<
            boost::multi_index::hashed_unique<boost::multi_index::tag<ById>,
                boost::multi_index::member<MigrationFolder, tavir::mailserver::common::KUuid,
                    &MigrationFolder::id>>,
            // Two malformed listed names may decode alike; both are kept.
            boost::multi_index::hashed_non_unique<boost::multi_index::tag<ByListedName>,
                boost::multi_index::member<MigrationFolder, std::string,
                    &MigrationFolder::listedName>>,
            boost::multi_index::hashed_unique<boost::multi_index::tag<ByTargetName>,
                boost::multi_index::member<MigrationFolder, FolderName,
                    &MigrationFolder::targetName>,
                FolderName::Hash>,
            // As build() inserts them: siblings by target name, every folder
            // before the folders below it.
            boost::multi_index::sequenced<boost::multi_index::tag<InTreeOrder>>>>;

    template <class Keep> std::vector<MigrationFolder> inTreeOrder(Keep keep) const;

    FolderStore store_;
    Folders folders_;
};

} // namespace tavir::migration
