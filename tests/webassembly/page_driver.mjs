// Drives the page of examples/web/ in headless Chromium as a person would:
// waits until it is ready, types each case's a and b into the fields and
// presses the button (or presses an example's button), and reads what the
// page then shows. Prints one JSON object: the status line, each case's
// call and result as displayed, and the page's console errors.
//
//   node page_driver.mjs NPM_MODULES CHROMIUM URL SCREENSHOT < cases.json
//
// cases.json: [{"a": "2", "b": "3"} | {"example": "mysum(1.5, 2)"}, ...]
// The screenshot is taken after the last case.
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";

const [npmModules, executablePath, url, screenshot] = process.argv.slice(2);
const { chromium } = createRequire(path.join(path.resolve(npmModules), "noop.js"))("playwright-core");
const cases = JSON.parse(readFileSync(0, "utf8"));

// Playwright starts the browser with a fresh profile folder of its own and
// removes it when the browser closes.
const browser = await chromium.launch({
  executablePath,
  headless: true,
  args: [
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
  ],
});
const report = { console_errors: [], cases: [] };
try {
  const page = await browser.newPage({ viewport: { width: 900, height: 900 } });
  page.on("console", (message) => {
    if (message.type() === "error") report.console_errors.push(message.text());
  });
  page.on("pageerror", (error) => report.console_errors.push(String(error)));
  await page.goto(url);
  await page.waitForSelector("body[data-ready=true], .status.failed", { timeout: 90_000 });
  report.status = await page.textContent("#status");

  for (const item of cases) {
    const count = await page.getAttribute("#call", "data-count");
    if (item.example !== undefined) {
      await page.getByRole("button", { name: item.example, exact: true }).click();
    } else {
      for (const field of ["a", "b"]) {
        await page.locator(`#${field}`).fill("");
        await page.locator(`#${field}`).pressSequentially(item[field]);
      }
      await page.getByRole("button", { name: "Call mysum(a, b)" }).click();
    }
    // Every call the page makes counts itself on the call line.
    await page.waitForFunction((previous) => document.querySelector("#call").dataset.count !== previous, count, {
      timeout: 10_000,
    });
    report.cases.push({
      call: await page.textContent("#call"),
      result: await page.textContent("#result"),
      kind: await page.getAttribute("#result", "class"),
      fields: [await page.inputValue("#a"), await page.inputValue("#b")],
    });
  }
  await page.screenshot({ path: screenshot, fullPage: true });
} finally {
  await browser.close();
}
process.stdout.write(JSON.stringify(report) + "\n");
