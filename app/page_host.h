// What the pages of the page area need from the window that shows them: the detail
// and password tables, the program's folder, the unlocking after the log-in and the
// application and restoration of the open item. The window implements it and hands
// itself to the pages, so that the pages do not depend on the window.
#pragma once

#include <cstdint>
#include <string>

#include "components/reruzo_dataset.h"
#include "components/reruzo_query.h"

class TPageHost {
public:
    // The item's detail rows (vrqdtl restricted to the open item).
    virtual reruzo::TRERUZOTable& DetailTable() = 0;
    // The password row of vrqdtl; closed between uses.
    virtual reruzo::TRERUZOTable& PasswordTable() = 0;
    // The program's folder, ending with "/".
    virtual std::string ProgramDirectory() const = 0;
    // After a successful log-in: the tree and the password controls work again.
    virtual void Unlock() = 0;
    // Applies the open item's rows; `value`, when not empty, replaces every row's info.
    virtual void Reg_Modify(const std::string& value) = 0;
    // Writes the open item's captured values back.
    virtual void Reg_Restore() = 0;
    // The search query over vrqinfo and the data source the search grid shows; the
    // query keeps its last result between search pages.
    virtual reruzo::TRERUZOQuery& SearchQuery() = 0;
    virtual reruzo::TDataSource& SearchSource() = 0;
    // Shows the page of item `id` of page kind `type` in place of the page shown now
    // (the tree keeps its selection).
    virtual void Udf_CreatPanel(std::int32_t id, const std::string& type) = 0;

protected:
    ~TPageHost() = default;
};

// The title and description of the item selected last, in the program's code page as
// the table stores them; the window sets them, the pages show them.
extern std::string Cur_Title;
extern std::string Cur_Intro;
