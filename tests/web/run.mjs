// Runs the browser tests, or skips them (exit 77) when playwright-core or
// chromium is missing, unless CHAT_REQUIRE_BROWSER=1 makes that a failure.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromium = process.env.CHAT_CHROMIUM || '/usr/bin/chromium';
const missing = [];
if (!fs.existsSync(path.join(here, 'node_modules', 'playwright-core'))) missing.push('node_modules (npm ci in tests/web)');
if (!fs.existsSync(chromium)) missing.push(chromium);
if (missing.length) {
  const required = process.env.CHAT_REQUIRE_BROWSER === '1';
  console.log(`${required ? 'FAIL' : 'skipped'}: missing ${missing.join(', ')}`);
  process.exit(required ? 1 : 77);
}
const r = spawnSync(process.execPath, ['--test', '--test-concurrency=1', path.join(here, 'chat_web.test.mjs')],
  { stdio: 'inherit', cwd: here });
process.exit(r.status ?? 1);
