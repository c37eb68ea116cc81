// Finding the helper executable in packaged applications and in development.
import assert from 'node:assert/strict';
import { chmodSync, mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import * as path from 'node:path';
import { after, describe, it } from 'node:test';

import { HelperNotFoundError, helperCandidates, helperPath, unpackedPath } from 'caretsafe';

const root = mkdtempSync(path.join(tmpdir(), 'caretsafe-path-'));
after(() => rmSync(root, { recursive: true, force: true }));
let layouts = 0;

/** A fresh folder holding the given files (mode 755 unless given), as a fake app layout. */
function layout(files) {
  const base = path.join(root, String(++layouts));
  for (const [file, mode] of Object.entries(files)) {
    const full = path.join(base, file);
    mkdirSync(path.dirname(full), { recursive: true });
    writeFileSync(full, '#!/bin/sh\n');
    chmodSync(full, mode ?? 0o755);
  }
  mkdirSync(path.join(base, 'dev'), { recursive: true });
  return base;
}

const resources = 'Host.app/Contents/Resources';

describe('helperPath', () => {
  const rows = [
    { name: 'extraFiles into Contents/MacOS', files: ['Host.app/Contents/MacOS/caretsafe'], found: 'Host.app/Contents/MacOS/caretsafe' },
    { name: 'extraFiles into Contents/Helpers', files: ['Host.app/Contents/Helpers/caretsafe'], found: 'Host.app/Contents/Helpers/caretsafe' },
    { name: 'extraResources', files: [`${resources}/caretsafe`], found: `${resources}/caretsafe` },
    {
      name: 'asarUnpack of native/caretsafe',
      files: [`${resources}/app.asar.unpacked/native/caretsafe`],
      found: `${resources}/app.asar.unpacked/native/caretsafe`,
    },
    {
      name: 'Contents/MacOS comes before Resources',
      files: [`${resources}/caretsafe`, 'Host.app/Contents/MacOS/caretsafe'],
      found: 'Host.app/Contents/MacOS/caretsafe',
    },
    {
      name: 'a given path inside app.asar is looked for in app.asar.unpacked',
      files: [`${resources}/app.asar.unpacked/bin/caretsafe`, 'Host.app/Contents/MacOS/caretsafe'],
      paths: [`${resources}/app.asar/bin/caretsafe`],
      found: `${resources}/app.asar.unpacked/bin/caretsafe`,
    },
    {
      name: 'CARETSAFE_HELPER comes first',
      files: ['elsewhere/my-helper', 'Host.app/Contents/MacOS/caretsafe'],
      env: 'elsewhere/my-helper',
      found: 'elsewhere/my-helper',
    },
    { name: 'development: native/ under the current folder', files: ['dev/native/caretsafe'], found: 'dev/native/caretsafe' },
    {
      name: 'a file that is not executable is passed over',
      files: { 'Host.app/Contents/MacOS/caretsafe': 0o644, 'Host.app/Contents/Helpers/caretsafe': 0o755 },
      found: 'Host.app/Contents/Helpers/caretsafe',
    },
    { name: 'another name', files: ['Host.app/Contents/MacOS/caretsafe-sim'], name_: 'caretsafe-sim', found: 'Host.app/Contents/MacOS/caretsafe-sim' },
    {
      name: 'Linux and Windows, extraFiles: beside the app\'s executable, resources in <app>/resources',
      files: ['host-app/caretsafe', 'host-app/resources/app.asar.unpacked/native/caretsafe'],
      resources: 'host-app/resources',
      execPath: 'host-app/host',
      found: 'host-app/caretsafe',
    },
    {
      name: 'Linux, extraResources',
      files: ['host-app/resources/caretsafe'],
      resources: 'host-app/resources',
      execPath: 'host-app/host',
      found: 'host-app/resources/caretsafe',
    },
  ];
  for (const row of rows) {
    it(row.name, () => {
      const files = Array.isArray(row.files) ? Object.fromEntries(row.files.map((f) => [f, undefined])) : row.files;
      const base = layout(files);
      const options = {
        resourcesPath: path.join(base, row.resources ?? resources),
        // A packaged Mac app's executable, in Contents/MacOS.
        execPath: path.join(base, row.execPath ?? 'Host.app/Contents/MacOS/Host'),
        cwd: path.join(base, 'dev'),
        env: row.env ? { CARETSAFE_HELPER: path.join(base, row.env) } : {},
      };
      if (row.paths) options.paths = row.paths.map((p) => path.join(base, p));
      if (row.name_) options.name = row.name_;
      assert.equal(helperPath(options), path.join(base, row.found));
    });
  }

  it('nothing found: the error names every path tried and why', () => {
    const base = layout({ [`${resources}/caretsafe`]: 0o644 });
    const res = path.join(base, resources);
    const execPath = path.join(base, 'Host.app/Contents/MacOS/Host');
    assert.throws(
      () => helperPath({ resourcesPath: res, execPath, cwd: path.join(base, 'dev'), env: {} }),
      (error) => {
        assert.ok(error instanceof HelperNotFoundError);
        assert.deepEqual(error.tried, [
          `${path.join(base, 'Host.app/Contents/MacOS/caretsafe')} (missing)`,
          `${path.join(base, 'Host.app/Contents/Helpers/caretsafe')} (missing)`,
          `${path.join(res, 'caretsafe')} (not executable)`,
          `${path.join(res, 'app.asar.unpacked/native/caretsafe')} (missing)`,
          `${path.join(base, 'dev/native/caretsafe')} (missing)`,
        ]);
        for (const tried of error.tried) assert.ok(error.message.includes(tried));
        assert.match(error.message, /app\.asar/);
        return true;
      },
    );
  });
});

it('outside a packaged app (no resources folder), the running executable\'s folder is not searched', () => {
  // Plain Node in development: /usr/bin/caretsafe is no helper of this app's.
  assert.deepEqual(helperCandidates({ execPath: '/usr/bin/node', cwd: '/work/app', env: {} }), ['/work/app/native/caretsafe']);
});

it('unpackedPath replaces only a whole app.asar folder name', () => {
  const rows = [
    ['/A.app/Contents/Resources/app.asar/native/caretsafe', '/A.app/Contents/Resources/app.asar.unpacked/native/caretsafe'],
    ['/A.app/Contents/Resources/app.asar', '/A.app/Contents/Resources/app.asar.unpacked'],
    ['/A.app/Contents/Resources/app.asar.unpacked/x', '/A.app/Contents/Resources/app.asar.unpacked/x'],
    ['/A.app/Contents/Resources/app.asarx/x', '/A.app/Contents/Resources/app.asarx/x'],
    ['/A.app/Contents/Resources/my-app.asar/x', '/A.app/Contents/Resources/my-app.asar/x'],
    ['/dev/native/caretsafe', '/dev/native/caretsafe'],
  ];
  for (const [input, expected] of rows) assert.equal(unpackedPath(input), expected, input);
});
