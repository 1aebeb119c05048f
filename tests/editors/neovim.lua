-- A scripted Neovim session against tarvix lsp: open the document, jump from a reference to the object it
-- names, rename that object from there, save, quit. The environment gives the document, the Python that
-- runs the server, the schema and the new name; the cursor after the jump is written beside the document.
local env = vim.env
local client_id = vim.lsp.start_client({
  cmd = { env.TARVIX_PYTHON, "-m", "tarvix", "lsp" },
  root_dir = env.TARVIX_ROOT,
  init_options = { tarvix = { idd = env.TARVIX_IDD } },
})
vim.cmd("edit " .. vim.fn.fnameescape(env.TARVIX_FILE))
local buf = vim.api.nvim_get_current_buf()
vim.lsp.buf_attach_client(buf, client_id)
assert(vim.wait(30000, function()
  local client = vim.lsp.get_client_by_id(client_id)
  return client ~= nil and client.initialized
end), "the server did not start")

local line, col = tonumber(env.TARVIX_LINE), tonumber(env.TARVIX_COL)
vim.api.nvim_win_set_cursor(0, { line, col })
local found = vim.lsp.buf_request_sync(buf, "textDocument/definition", vim.lsp.util.make_position_params(), 30000)
for _, response in pairs(found or {}) do
  if response.result then vim.lsp.util.jump_to_location(response.result, "utf-16") end
end
local cursor = vim.api.nvim_win_get_cursor(0)
local out = io.open(env.TARVIX_FILE .. ".cursor", "w")
out:write(cursor[1] .. "," .. cursor[2])
out:close()

local params = vim.lsp.util.make_position_params()
params.newName = env.TARVIX_NEW_NAME
local renamed = vim.lsp.buf_request_sync(buf, "textDocument/rename", params, 30000)
for _, response in pairs(renamed or {}) do
  if response.result then vim.lsp.util.apply_workspace_edit(response.result, "utf-16") end
end
vim.cmd("write")
vim.lsp.stop_client(client_id)
vim.cmd("qall!")
